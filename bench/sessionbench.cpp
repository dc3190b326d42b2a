// The robot session's own share of the work, beside the least a client could do:
//  - encode and send message 52 through a connected session, against raw msgpack-c packing the
//    same envelope and writing it to an identical socket;
//  - receive, decode and dispatch serial replies through a connected session, against a socket
//    whose reader only takes the bytes;
//  - decode and dispatch alone (frame reader and dispatch over a byte stream in memory, in
//    the session's read size), against a loop that only reads the same bytes.
#include <framereader.h>
#include <libwireclass.h>
#include <messagedispatch.h>
#include <zevsocketsession.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

namespace {

const char kSerial[] = "TV2A1907000123#17";
constexpr int kFramesPerBatch = 1000;
constexpr int kReadChunk = 64 * 1024;
constexpr int kFlushEvery = 256;

class CountingSink : public IZEVSocketSessionEvent
{
public:
    void OnSerialNum(QString qsSerialNum) override
    {
        ++serials;
        lastLength = qsSerialNum.size();
    }
    void OnConnected() override { ++connected; }

    long serials = 0;
    int lastLength = 0;
    int connected = 0;
};

class Host final : public DispatchHost
{
public:
    explicit Host(IZEVSocketSessionEvent *sink)
        : m_sink(sink)
    {
    }
    virtual ~Host() = default;
    IZEVSocketSessionEvent *sink() const override { return m_sink; }
    void acceptLogin() override { }
    QString lastFilePath() const override { return QString(); }
    void requestActionFileList() override { }

private:
    IZEVSocketSessionEvent *m_sink;
};

// The serial reply frame as the robot sends it, built with raw msgpack-c.
QByteArray serialReplyFrame()
{
    msgpack::sbuffer payload;
    msgpack::packer<msgpack::sbuffer> inner(payload);
    inner.pack_array(1);
    inner.pack_v4raw(sizeof(kSerial) - 1);
    inner.pack_v4raw_body(kSerial, sizeof(kSerial) - 1);

    msgpack::sbuffer envelope;
    msgpack::packer<msgpack::sbuffer> outer(envelope);
    outer.pack_array(2);
    outer.pack_int(52);
    outer.pack_v4raw(static_cast<uint32_t>(payload.size()));
    outer.pack_v4raw_body(payload.data(), static_cast<uint32_t>(payload.size()));

    QByteArray frame;
    const quint32 length = static_cast<quint32>(envelope.size()) + 4;
    frame.append('\x34').append('\x12');
    for (int i = 0; i < 4; ++i)
        frame.append(static_cast<char>((length >> (8 * i)) & 0xff));
    frame.append('\x01').append('\x00').append('\x00').append('\x00');
    frame.append(envelope.data(), static_cast<int>(envelope.size()));
    return frame;
}

QByteArray serialReplyStream(int frames)
{
    const QByteArray one = serialReplyFrame();
    QByteArray all;
    all.reserve(one.size() * frames);
    for (int i = 0; i < frames; ++i)
        all += one;
    return all;
}

// A loopback server that accepts one connection; the accepted socket is the robot's side.
class Peer
{
public:
    Peer() { m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    QTcpSocket *accept()
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_server.hasPendingConnections() && clock.elapsed() < 5000)
            m_server.waitForNewConnection(100);
        m_socket.reset(m_server.nextPendingConnection());
        return m_socket.get();
    }

private:
    QTcpServer m_server;
    std::unique_ptr<QTcpSocket> m_socket;
};

struct SessionDeleter
{
    void operator()(CIZEVSocketSession *session) const { session->Release(); }
};
using SessionPtr = std::unique_ptr<CIZEVSocketSession, SessionDeleter>;

// A session connected to a loopback peer, as the serial number reader uses it.
SessionPtr connectedSession(Peer &peer, CountingSink &sink, QTcpSocket **robotSide)
{
    qputenv("ZEV_SESSION_PORT", QByteArray::number(peer.port()));
    CIZEVSocketSession *raw = nullptr;
    if (!CreateZEVSocketSession(&raw))
        return nullptr;
    SessionPtr session(raw);
    session->Connect(QStringLiteral("127.0.0.1"), 0, 0, &sink);
    *robotSide = peer.accept();
    QElapsedTimer clock;
    clock.start();
    while (sink.connected == 0 && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!*robotSide || sink.connected == 0)
        return nullptr;
    return session;
}

// Keeps the robot's side drained so that neither sender ever blocks on a full socket.
void drain(QTcpSocket *robotSide)
{
    QCoreApplication::processEvents();
    robotSide->readAll();
}

void BM_Encode52_Session(benchmark::State &state)
{
    Peer peer;
    CountingSink sink;
    QTcpSocket *robotSide = nullptr;
    SessionPtr session = connectedSession(peer, sink, &robotSide);
    if (!session) {
        state.SkipWithError("no session");
        return;
    }
    CSerialNum request;
    request.SetSerialNum(std::string());
    long n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(session->SendMsg(52, &request));
        if (++n % kFlushEvery == 0)
            drain(robotSide);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Encode52_RawMsgpack(benchmark::State &state)
{
    Peer peer;
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, peer.port());
    QTcpSocket *robotSide = peer.accept();
    if (!robotSide || !client.waitForConnected(5000)) {
        state.SkipWithError("no connection");
        return;
    }
    const std::string serial;
    long n = 0;
    for (auto _ : state) {
        msgpack::sbuffer payload;
        msgpack::packer<msgpack::sbuffer> inner(payload);
        inner.pack_array(1);
        inner.pack_v4raw(static_cast<uint32_t>(serial.size()));
        inner.pack_v4raw_body(serial.data(), static_cast<uint32_t>(serial.size()));
        msgpack::sbuffer frame;
        frame.write("\x34\x12\0\0\0\0\x01\0\0\0", 10);
        msgpack::packer<msgpack::sbuffer> outer(frame);
        outer.pack_array(2);
        outer.pack_int(52);
        outer.pack_v4raw(static_cast<uint32_t>(payload.size()));
        outer.pack_v4raw_body(payload.data(), static_cast<uint32_t>(payload.size()));
        const quint32 length = static_cast<quint32>(frame.size()) - 6;
        std::memcpy(frame.data() + 2, &length, 4);
        benchmark::DoNotOptimize(client.write(frame.data(), static_cast<qint64>(frame.size())));
        if (++n % kFlushEvery == 0)
            drain(robotSide);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ReceiveSerial_Session(benchmark::State &state)
{
    Peer peer;
    CountingSink sink;
    QTcpSocket *robotSide = nullptr;
    SessionPtr session = connectedSession(peer, sink, &robotSide);
    if (!session) {
        state.SkipWithError("no session");
        return;
    }
    const QByteArray batch = serialReplyStream(kFramesPerBatch);
    for (auto _ : state) {
        const long target = sink.serials + kFramesPerBatch;
        robotSide->write(batch);
        while (sink.serials < target)
            QCoreApplication::processEvents();
    }
    if (sink.lastLength != 14)
        state.SkipWithError("serial number not cleaned");
    state.SetItemsProcessed(state.iterations() * kFramesPerBatch);
    state.SetBytesProcessed(state.iterations() * batch.size());
}

void BM_ReceiveSerial_ReadOnly(benchmark::State &state)
{
    Peer peer;
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, peer.port());
    QTcpSocket *robotSide = peer.accept();
    if (!robotSide || !client.waitForConnected(5000)) {
        state.SkipWithError("no connection");
        return;
    }
    const QByteArray batch = serialReplyStream(kFramesPerBatch);
    qint64 received = 0;
    char buffer[kReadChunk];
    QObject::connect(&client, &QTcpSocket::readyRead, [&] {
        qint64 n;
        while ((n = client.read(buffer, sizeof buffer)) > 0)
            received += n;
    });
    for (auto _ : state) {
        const qint64 target = received + batch.size();
        robotSide->write(batch);
        while (received < target)
            QCoreApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerBatch);
    state.SetBytesProcessed(state.iterations() * batch.size());
}

void BM_DecodeDispatch_FrameReader(benchmark::State &state)
{
    const QByteArray stream = serialReplyStream(kFramesPerBatch);
    CountingSink sink;
    Host host(&sink);
    FrameReader reader;
    QString error;
    for (auto _ : state) {
        for (int pos = 0; pos < stream.size(); pos += kReadChunk) {
            reader.append(stream.constData() + pos, qMin(kReadChunk, stream.size() - pos));
            FrameReader::Frame frame;
            while (reader.next(&frame))
                dispatchPayload(frame.payload, frame.size, host, &error);
        }
    }
    if (sink.serials != long(state.iterations()) * kFramesPerBatch)
        state.SkipWithError("frames lost");
    state.SetItemsProcessed(state.iterations() * kFramesPerBatch);
}

void BM_DecodeDispatch_ReadOnly(benchmark::State &state)
{
    const QByteArray stream = serialReplyStream(kFramesPerBatch);
    char buffer[kReadChunk];
    for (auto _ : state) {
        unsigned sum = 0;
        for (int pos = 0; pos < stream.size(); pos += kReadChunk) {
            const int n = qMin(kReadChunk, stream.size() - pos);
            std::memcpy(buffer, stream.constData() + pos, static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i)
                sum += static_cast<unsigned char>(buffer[i]);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerBatch);
}

BENCHMARK(BM_Encode52_Session);
BENCHMARK(BM_Encode52_RawMsgpack);
BENCHMARK(BM_ReceiveSerial_Session);
BENCHMARK(BM_ReceiveSerial_ReadOnly);
BENCHMARK(BM_DecodeDispatch_FrameReader);
BENCHMARK(BM_DecodeDispatch_ReadOnly);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
