#pragma once

#include <QMetaType>
#include <QString>

#include <memory>

// The web service's answer about the newest package for a robot.
struct UpgRespData
{
    bool valid = false; // the answer holds a package
    QString downloadUrl;
    QString packageMd5; // lower-case hexadecimal
    QString sha256; // lower-case hexadecimal; empty when not announced
    qint64 size = -1; // bytes; -1 when not announced
    QString version;
};

using UpgRespDataPtr = std::shared_ptr<UpgRespData>;

Q_DECLARE_METATYPE(UpgRespDataPtr)
