#include "framereader.h"

#include <cstring>

namespace {

const char kStartMark[] = { '\x34', '\x12' };

qint32 readInt32(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return static_cast<qint32>(
        quint32(u[0]) | quint32(u[1]) << 8 | quint32(u[2]) << 16 | quint32(u[3]) << 24);
}

quint16 readUInt16(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return static_cast<quint16>(u[0] | u[1] << 8);
}

} // namespace

void FrameReader::append(const char *data, int size)
{
    if (size <= 0)
        return;
    // Consumed bytes are dropped here only: payloads handed out by next() point into the buffer.
    if (m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    } else if (m_pos >= 64 * 1024 && m_pos >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(data, size);
}

bool FrameReader::skipToStartMark()
{
    const char *data = m_buffer.constData();
    const int end = m_buffer.size();
    for (int i = m_pos; i + 1 < end; ++i) {
        const void *hit = std::memchr(data + i, kStartMark[0], static_cast<size_t>(end - i - 1));
        if (!hit)
            break;
        i = static_cast<int>(static_cast<const char *>(hit) - data);
        if (data[i + 1] == kStartMark[1]) {
            m_skippedBytes += static_cast<quint64>(i - m_pos);
            m_pos = i;
            return true;
        }
    }
    // Keep a trailing first byte of the start mark: its partner may be in the next piece.
    const int keep = (end > m_pos && data[end - 1] == kStartMark[0]) ? end - 1 : end;
    m_skippedBytes += static_cast<quint64>(keep - m_pos);
    m_pos = keep;
    return false;
}

bool FrameReader::next(Frame *frame)
{
    for (;;) {
        int available = m_buffer.size() - m_pos;
        if (m_discard > 0) {
            const int n = static_cast<int>(qMin<qint64>(m_discard, available));
            m_pos += n;
            m_discard -= n;
            if (m_discard > 0)
                return false;
            available -= n;
        }
        if (available < 2)
            return false;
        const char *p = m_buffer.constData() + m_pos;
        if (p[0] != kStartMark[0] || p[1] != kStartMark[1]) {
            m_inSync = false;
            if (!skipToStartMark())
                return false;
            continue;
        }
        if (available < 6)
            return false;
        const qint32 length = readInt32(p + 2);
        if (length < 4 || length > kMaxLength) {
            // Not a frame we can trust: look for the next start mark after this one.
            if (m_inSync)
                ++m_droppedFrames;
            else
                m_skippedBytes += 2;
            m_inSync = false;
            m_pos += 2;
            continue;
        }
        if (available < kHeaderSize)
            return false;
        if (readUInt16(p + 6) != 1) {
            if (!m_inSync) {
                // A start mark found inside garbage is believed only with the right Version;
                // trusting its Length could swallow the good frames behind it.
                m_skippedBytes += 2;
                m_pos += 2;
                continue;
            }
            ++m_droppedFrames;
            m_discard = qint64(length) + 6;
            continue;
        }
        if (available - 6 < length)
            return false;
        m_inSync = true;
        m_pos += 6 + length;
        if (length == 4)
            continue;
        frame->payload = p + kHeaderSize;
        frame->size = length - 4;
        return true;
    }
}
