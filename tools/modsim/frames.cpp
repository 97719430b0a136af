#include "frames.h"

namespace modsim {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

std::optional<std::uint8_t> HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

void AppendHex(std::string& out, std::uint8_t byte, HexCase hexCase)
{
    const char* digits = hexCase == HexCase::Upper ? kUpperDigits : kLowerDigits;
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

std::uint16_t ReadU16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]); // high byte first
}

// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final XOR.
constexpr std::uint16_t kCrcPolynomial = 0xA001;
constexpr std::uint16_t kCrcInitial = 0xFFFF;

// Entry n is the CRC register after shifting the byte n through it bit by
// bit, so Crc16 takes one lookup a byte. Built at compile time: the pollers
// compute their CRC bit by bit, and the module checks them with a method of
// its own rather than sharing their code.
constexpr std::array<std::uint16_t, 256> MakeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned n = 0; n < table.size(); ++n) {
        unsigned crc = n;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
        table[n] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

} // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> bytes)
{
    std::uint16_t crc = kCrcInitial;
    for (std::uint8_t byte : bytes)
        crc = static_cast<std::uint16_t>(crc >> 8 ^ kCrcTable[(crc ^ byte) & 0xFFu]);
    return crc;
}

// Modbus ASCII LRC: the byte sum modulo 256, negated (two's complement).
std::uint8_t Lrc(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (std::uint8_t byte : bytes)
        sum += byte;
    return static_cast<std::uint8_t>(-sum & 0xFFu);
}

std::optional<Frame> CheckRtuFrame(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() != kRtuRequestSize)
        return std::nullopt;
    const auto body = bytes.first(kRequestBodySize);
    const std::uint16_t crc = Crc16(body);
    // CRC travels low byte first.
    if (bytes[6] != (crc & 0xFF) || bytes[7] != (crc >> 8))
        return std::nullopt;
    return Frame{{body.begin(), body.end()}};
}

std::optional<Frame> CheckAsciiFrame(std::string_view line)
{
    // ':' + at least address, function and LRC (3 pairs) + CR LF.
    constexpr std::size_t kShortest = 1 + 2 * 3 + 2;
    if (line.size() < kShortest || line.front() != ':' || !line.ends_with("\r\n"))
        return std::nullopt;
    const std::string_view hex = line.substr(1, line.size() - 3);
    if (hex.size() % 2 != 0)
        return std::nullopt; // half a byte
    std::vector<std::uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto high = HexValue(hex[i]);
        const auto low = HexValue(hex[i + 1]);
        if (!high || !low)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
    }
    const std::uint8_t lrc = bytes.back();
    bytes.pop_back();
    if (Lrc(bytes) != lrc)
        return std::nullopt;
    return Frame{std::move(bytes)};
}

std::optional<Request> ReadRequest(const Frame& frame)
{
    const std::span<const std::uint8_t> body = frame.body;
    if (body.size() != kRequestBodySize || body[1] != kReadInputRegisters)
        return std::nullopt;
    return Request{body[0], body[1], ReadU16(body, 2), ReadU16(body, 4)};
}

bool IsForModule(const Frame& frame, std::uint8_t address)
{
    return !frame.body.empty() && frame.body[0] == address && ReadRequest(frame).has_value();
}

std::vector<std::uint8_t> BuildReplyBody(const Request& request, const Registers& registers)
{
    const auto exception = [&](std::uint8_t code) {
        return std::vector<std::uint8_t>{
            request.address, static_cast<std::uint8_t>(request.function | kExceptionFlag), code};
    };
    if (request.count == 0 || request.count > kMaxReadCount)
        return exception(kIllegalDataValue);
    // Registers 0..7 exist: start 7 count 1 is fine, start 7 count 2 reaches 8.
    if (std::size_t{request.start} + request.count > kRegisterCount)
        return exception(kIllegalDataAddress);

    std::vector<std::uint8_t> body{request.address, request.function,
                                   static_cast<std::uint8_t>(2 * request.count)};
    for (std::size_t i = request.start; i < std::size_t{request.start} + request.count; ++i) {
        const auto raw = static_cast<std::uint16_t>(registers[i]); // two's complement
        body.push_back(static_cast<std::uint8_t>(raw >> 8));       // high byte first
        body.push_back(static_cast<std::uint8_t>(raw & 0xFF));
    }
    return body;
}

std::vector<std::uint8_t> FrameRtu(std::span<const std::uint8_t> body)
{
    std::vector<std::uint8_t> framed(body.begin(), body.end());
    const std::uint16_t crc = Crc16(body);
    framed.push_back(static_cast<std::uint8_t>(crc & 0xFF)); // low byte first on the wire
    framed.push_back(static_cast<std::uint8_t>(crc >> 8));
    return framed;
}

std::string FrameAscii(std::span<const std::uint8_t> body, HexCase hexCase)
{
    std::string framed = ":";
    for (std::uint8_t byte : body)
        AppendHex(framed, byte, hexCase);
    AppendHex(framed, Lrc(body), hexCase);
    framed += "\r\n";
    return framed;
}

void CorruptRtu(std::vector<std::uint8_t>& framed)
{
    if (framed.size() < 2)
        return;
    framed[framed.size() - 2] ^= 0xFF; // the CRC low byte; any flip breaks the check
}

void CorruptAscii(std::string& framed, HexCase hexCase)
{
    // ":...LLrn": the LRC digits sit just before CR LF.
    constexpr std::size_t kTail = 4;
    if (framed.size() < 1 + kTail)
        return;
    const std::size_t at = framed.size() - kTail;
    const auto high = HexValue(framed[at]);
    const auto low = HexValue(framed[at + 1]);
    if (!high || !low)
        return;
    std::string digits;
    AppendHex(digits, static_cast<std::uint8_t>(~(*high << 4 | *low)), hexCase);
    framed.replace(at, 2, digits);
}

std::string HexBytes(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::uint8_t byte : bytes) {
        if (!out.empty())
            out += ' ';
        AppendHex(out, byte, HexCase::Upper);
    }
    return out;
}

std::string EscapeText(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 4);
    for (char c : text) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            AppendHex(out, byte, HexCase::Upper);
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace modsim
