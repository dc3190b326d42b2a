#include "framereader.h"

#include <cstring>

namespace {

// The start mark as it arrives, low byte first.
const char kStartMark[wireframe::kStartMarkSize]
    = { static_cast<char>(wireframe::kStartMark & 0xff),
          static_cast<char>(wireframe::kStartMark >> 8) };

qint32 readInt32(const char *p)
{
    return wireframe::get32(reinterpret_cast<const unsigned char *>(p));
}

quint16 readUInt16(const char *p)
{
    return wireframe::get16(reinterpret_cast<const unsigned char *>(p));
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
        if (available < wireframe::kStartMarkSize)
            return false;
        const char *p = m_buffer.constData() + m_pos;
        if (p[0] != kStartMark[0] || p[1] != kStartMark[1]) {
            m_inSync = false;
            if (!skipToStartMark())
                return false;
            continue;
        }
        if (available < wireframe::kVersionOffset)
            return false;
        const qint32 length = readInt32(p + wireframe::kLengthOffset);
        if (length < wireframe::kLengthOverhead || length > kMaxLength) {
            // Not a frame we can trust: look for the next start mark after this one.
            if (m_inSync)
                ++m_droppedFrames;
            else
                m_skippedBytes += wireframe::kStartMarkSize;
            m_inSync = false;
            m_pos += wireframe::kStartMarkSize;
            continue;
        }
        if (available < kHeaderSize)
            return false;
        if (readUInt16(p + wireframe::kVersionOffset) != wireframe::kVersion) {
            if (!m_inSync) {
                // A start mark found inside garbage is believed only with the right Version;
                // trusting its Length could swallow the good frames behind it.
                m_skippedBytes += wireframe::kStartMarkSize;
                m_pos += wireframe::kStartMarkSize;
                continue;
            }
            ++m_droppedFrames;
            m_discard = qint64(length) + wireframe::kVersionOffset;
            continue;
        }
        if (available - wireframe::kVersionOffset < length)
            return false;
        m_inSync = true;
        m_pos += wireframe::kVersionOffset + length;
        if (length == wireframe::kLengthOverhead)
            continue;
        frame->payload = p + kHeaderSize;
        frame->size = length - wireframe::kLengthOverhead;
        return true;
    }
}
