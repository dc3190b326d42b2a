// Arbitrary byte streams through the session's frame reader and message dispatch, into a sink
// that records every event. The first input byte sets the size of the pieces the stream arrives
// in; the events must be the same as when the whole stream arrives at once, and the reader must
// never hold more than one frame's worth of bytes.
#include "framereader.h"
#include "messagedispatch.h"
#include "zevsocketsession.h"

#include <QByteArray>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

class RecordingSink : public IZEVSocketSessionEvent, public DispatchHost
{
public:
    QStringList events;

    void OnActionFileList(QStringList l) override { events << "list " + l.join('\n'); }
    void OnActionResourceList(QStringList l) override { events << "resources " + l.join('\n'); }
    void OnServerInfoDL(ServerInfoDL *p) override
    {
        events << QStringLiteral("dl %1 %2 %3").arg(p->Port).arg(p->IP, p->FilePath);
    }
    void OnServerInfoUL(ServerInfoUL *p) override
    {
        events << QStringLiteral("ul %1 %2 %3 %4")
                      .arg(p->Port)
                      .arg(p->FileLen)
                      .arg(p->IP, p->FileName);
    }
    void OnMotorAngle(int id, unsigned char angle) override
    {
        events << QStringLiteral("motor %1 %2").arg(id).arg(angle);
    }
    void OnVersion(QString v) override { events << "version " + v; }
    void OnSerialNum(QString s) override
    {
        require(!s.contains(QLatin1Char('#')));
        events << "serial " + s;
    }
    void OnConnected() override { events << QStringLiteral("connected"); }

    IZEVSocketSessionEvent *sink() const override { return const_cast<RecordingSink *>(this); }
    void acceptLogin() override { events << QStringLiteral("login"); }
    QString lastFilePath() const override { return QStringLiteral("C:/x/fw.bin"); }
    void requestActionFileList() override { events << QStringLiteral("ask list"); }
};

QStringList feed(const char *data, int size, int piece)
{
    RecordingSink sink;
    FrameReader reader;
    FrameReader::Frame frame;
    for (int at = 0; at < size; at += piece) {
        const int n = qMin(piece, size - at);
        reader.append(data + at, n);
        while (reader.next(&frame)) {
            require(frame.size > 0 && frame.size <= FrameReader::kMaxLength - 4);
            QString error;
            if (!dispatchPayload(frame.payload, frame.size, sink, &error))
                require(!error.isEmpty());
        }
        require(reader.buffered() <= FrameReader::kMaxLength + 6 + n);
    }
    return sink.events;
}

void quiet(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;
    if (size < 1 || size > (1u << 20))
        return 0;
    const int piece = 1 + data[0] % 64;
    const char *stream = reinterpret_cast<const char *>(data + 1);
    const int length = static_cast<int>(size - 1);
    require(feed(stream, length, piece) == feed(stream, length, length > 0 ? length : 1));
    return 0;
}
