#pragma once

#include <wireframe.h>

#include <QByteArray>

// Cuts the robot's byte stream into frames: the start mark 34 12, Length (little-endian signed
// 32-bit, counting Version, Reserved and the payload), Version (16-bit), Reserved (16-bit) and the
// payload. TCP hands us arbitrary pieces, so partial frames are kept until the rest arrives and
// garbage is skipped up to the next start mark instead of losing the connection.
class FrameReader
{
public:
    // A Length above this is taken for garbage; nothing of that size is ever allocated.
    static constexpr qint32 kMaxLength = 16 * 1024 * 1024;
    static constexpr int kHeaderSize = wireframe::kHeaderSize;

    struct Frame
    {
        const char *payload = nullptr;
        int size = 0;
    };

    void append(const char *data, int size);

    // Finds the next complete Version 1 frame with a payload. A frame of another Version is
    // skipped whole when it starts where the previous frame ended; after garbage, a start mark
    // counts only when a Version of 1 follows it. Empty frames (Length 4) are consumed
    // silently. The payload stays valid until the next call of append() or next(). Returns false
    // when more bytes are needed.
    bool next(Frame *frame);

    int buffered() const { return m_buffer.size() - m_pos; }
    quint64 skippedBytes() const { return m_skippedBytes; }
    quint64 droppedFrames() const { return m_droppedFrames; }

private:
    bool skipToStartMark();

    QByteArray m_buffer;
    int m_pos = 0;
    qint64 m_discard = 0; // bytes of a dropped frame that have not arrived yet
    // False after garbage: the next start mark may be a chance pair of bytes.
    bool m_inSync = true;
    quint64 m_skippedBytes = 0;
    quint64 m_droppedFrames = 0;
};
