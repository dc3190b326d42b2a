#pragma once

#include "upgrespdata.h"

#include <robottarvo2.h>

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

// The web service's message formats, as pure functions.
namespace webformats {

// Answers larger than this are not an upgrade answer.
constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

// The newest-package request: robot record, robot type and the tool's version.
QByteArray upgradeInfoRequest(const RobotTarvo2 &robot, int robotType);

// A run's result for the report request; `message` is the error's text.
QByteArray reportRequest(const RobotTarvo2 &robot, int robotType, int code, const QString &message,
    const QDateTime &time);

// {"valid": b, "downloadUrl": s, "md5": s, "sha256": s?, "size": n?, "version": s?}.
// False when the text is not such an object or a field has the wrong type or form.
bool parseUpgradeAnswer(const QByteArray &body, UpgRespData &answer);

// The file name a download is saved under: the URL's last path segment. Empty when the URL is
// not an absolute http(s) URL or the segment is not a plain file name.
QString downloadFileName(const QString &url);

// "bytes <first>-<last>/<total>" of a 206 answer; the total may be "*" (then -1).
bool parseContentRange(const QByteArray &value, qint64 &first, qint64 &last, qint64 &total);

} // namespace webformats
