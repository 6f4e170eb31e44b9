#include "hosted/ServerSentEventParser.h"

namespace tovrik {

namespace {
constexpr std::string_view kBOM = "\xEF\xBB\xBF";
}

std::string validUTF8(std::string_view bytes)
{
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t needed = 0;
        unsigned char lower = 0x80, upper = 0xBF;
        if (lead < 0x80) {
            out.push_back(char(lead));
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            lower = lead == 0xE0 ? 0xA0 : 0x80;
            upper = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            lower = lead == 0xF0 ? 0x90 : 0x80;
            upper = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            out.append(replacement);
            ++i;
            continue;
        }
        // Only the first continuation byte has a narrowed range.
        std::size_t seen = 0;
        while (seen < needed && i + 1 + seen < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[i + 1 + seen]);
            if (c < lower || c > upper)
                break;
            lower = 0x80;
            upper = 0xBF;
            ++seen;
        }
        if (seen == needed)
            out.append(bytes.substr(i, needed + 1));
        else
            out.append(replacement); // the byte that broke it starts afresh
        i += seen + 1;
    }
    return out;
}

ServerSentEventParser::ServerSentEventParser(Handler onEvent, std::size_t maxLineBytes, std::size_t maxDataBytes)
    : m_onEvent(std::move(onEvent)), m_maxLine(maxLineBytes), m_maxData(maxDataBytes)
{
}

bool ServerSentEventParser::feed(std::string_view bytes)
{
    if (m_failed)
        return false;
    // Skip a byte-order mark at the very start, even when split across feeds.
    if (!m_bomChecked) {
        while (!bytes.empty() && m_bomBuffer.size() < kBOM.size()) {
            m_bomBuffer.push_back(bytes.front());
            bytes.remove_prefix(1);
            if (kBOM.substr(0, m_bomBuffer.size()) != m_bomBuffer)
                break;
        }
        if (m_bomBuffer.size() == kBOM.size() && m_bomBuffer == kBOM) {
            m_bomChecked = true;
            m_bomBuffer.clear();
        } else if (kBOM.substr(0, m_bomBuffer.size()) != m_bomBuffer) {
            m_bomChecked = true;
            std::string pending;
            pending.swap(m_bomBuffer);
            if (!feed(pending))
                return false;
        } else {
            return true; // still a possible BOM prefix: wait for more bytes
        }
    }

    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (m_pendingCR) {
            m_pendingCR = false;
            if (c == '\n') {
                start = i + 1;
                continue;
            }
        }
        if (c == '\r' || c == '\n') {
            m_line.append(bytes.substr(start, i - start));
            if (m_line.size() > m_maxLine) {
                m_failed = true;
                return false;
            }
            processLine(m_line);
            m_line.clear();
            if (m_failed)
                return false;
            if (c == '\r')
                m_pendingCR = true;
            start = i + 1;
        }
    }
    m_line.append(bytes.substr(start));
    if (m_line.size() > m_maxLine) {
        m_failed = true;
        return false;
    }
    return true;
}

bool ServerSentEventParser::finish()
{
    if (!m_bomChecked && !m_bomBuffer.empty()) {
        m_bomChecked = true;
        std::string pending;
        pending.swap(m_bomBuffer);
        feed(pending);
    }
    const bool partial = !m_line.empty() || m_sawFieldSinceDispatch;
    m_line.clear();
    m_type.clear();
    m_data.clear();
    m_hasData = false;
    m_sawFieldSinceDispatch = false;
    m_pendingCR = false;
    return partial;
}

void ServerSentEventParser::processLine(std::string_view line)
{
    if (line.empty()) {
        dispatch();
        return;
    }
    if (line.front() == ':')
        return; // comment
    m_sawFieldSinceDispatch = true;
    std::string_view field = line;
    std::string_view value;
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
        field = line.substr(0, colon);
        value = line.substr(colon + 1);
        if (!value.empty() && value.front() == ' ')
            value.remove_prefix(1);
    }
    if (field == "event") {
        m_type.assign(value);
    } else if (field == "data") {
        if (m_data.size() + value.size() + 1 > m_maxData) {
            m_failed = true;
            return;
        }
        m_data.append(value);
        m_data.push_back('\n');
        m_hasData = true;
    } else if (field == "id") {
        if (value.find('\0') == std::string_view::npos)
            m_lastEventId.assign(value);
    }
    // "retry" sets the reconnection time of a reconnecting client; this
    // reader never reconnects, so it is ignored with the unknown fields.
}

void ServerSentEventParser::dispatch()
{
    m_sawFieldSinceDispatch = false;
    if (!m_hasData || m_data.empty()) {
        m_type.clear();
        m_data.clear();
        m_hasData = false;
        return;
    }
    ServerSentEvent event;
    event.data = std::move(m_data);
    if (!event.data.empty() && event.data.back() == '\n')
        event.data.pop_back();
    event.type = m_type.empty() ? std::string("message") : std::move(m_type);
    event.lastEventId = m_lastEventId;
    m_type.clear();
    m_data.clear();
    m_hasData = false;
    ++m_dispatched;
    if (m_onEvent)
        m_onEvent(event);
}

} // namespace tovrik
