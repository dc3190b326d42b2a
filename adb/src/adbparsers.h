#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Pure readers of the texts adb prints, kept apart from running adb so they can be tested on
// captured output.
namespace adbparse {

QString removeCrLf(const QString &text);

struct BuildInfo
{
    QString buildVersion;
    qint32 kernelVersion = 0;
};
// Values of the two keys in a build.prop listing (the last occurrence wins). Empty when a key is
// missing from the listing.
std::optional<BuildInfo> readBuildProp(
    const QString &out, const QString &buildKey, const QString &kernelKey);
bool isUsableBuildInfo(const BuildInfo &info);

// The interface name, with its leading blank, from the last field of "busybox arp".
std::optional<QString> arpInterface(const QString &arp);
// The address after "inet addr:" in "busybox ifconfig".
std::optional<QString> ifconfigAddress(const QString &ifconfig);

struct BatteryInfo
{
    bool acPowered = true;
    int level = 0;
    int scale = 0;
};
BatteryInfo readBattery(const QString &dumpsys);

// Free bytes of the data partition in a "df" listing.
std::optional<qint64> dataPartitionFreeBytes(const QString &df);

// Whether an "adb push" answer tells of a file that arrived. adb prints its summary, with the
// word "bytes", also after a failed copy; the error line and the count of none tell that apart.
bool pushArrived(const QString &out);

// Packages of "pm list packages" that are neither the system's nor the maker's.
QStringList removablePackages(const QString &list);

// The text between the first "[" and the first "]" of an install answer, or the whole answer.
QString installFailureReason(const QString &out);
// Install failures that are not worth a second attempt and do not stop the run.
bool isToleratedInstallCode(int code);

// A text that goes to the robot's shell as one word: unchanged when the shell would read it as
// it is (letters of any script, digits, "_.,:=+@%/-"), otherwise in single quotes so the shell
// neither splits it nor runs anything in it. The one helper for every name on a shell line.
QString robotShellWord(const QString &text);
// A folder of ours followed by a name for the robot's shell: the name quoted as robotShellWord
// quotes it, except that an empty name adds nothing (the folder alone is the word).
QString robotShellPath(const QString &folder, const QString &name);
// One argument of a command line that QProcess splits at blanks and double quotes: always in
// double quotes, or only when it holds blanks or double quotes.
QString commandLineQuoted(const QString &text);
QString commandLineWord(const QString &text);

} // namespace adbparse
