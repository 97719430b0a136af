// modsim's input side on arbitrary bytes: the Receiver cutting the line into
// frames in RTU framing (an even first byte, 'r' in the seeds) or ASCII (an
// odd one, 'a'), fed in chunks with pauses between them (decoded from the
// rest of the input), and what the module does with each frame it finds.
//
// - Every byte fed comes out exactly once, in order: in a frame or in a
//   report of input that made no frame, and no such report holds more than
//   kMaxBadChunk bytes.
// - A frame found is a real one: its text is an 8-byte RTU frame whose CRC
//   matches (the frame is its first 6 bytes), or an ASCII line that
//   CheckAsciiFrame accepts with the same bytes.
// - How the bytes were split does not matter: each run of chunks without a
//   pause as long as the silence gap gives the frames, at the same places,
//   that feeding the run at once does.
// - For each frame, the request read from it and the reply body built for it
//   hold together: function 04 and 6 bytes, the module answers its own
//   address only, the reply carries 2 bytes per register asked for within
//   0..7 or the right exception; the reply framed in RTU leaves a CRC
//   remainder of 0 and in ASCII reads back the same, and a corrupted
//   checksum fails in both.

#include "frames.h"
#include "fuzzcheck.h"
#include "receiver.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

using namespace modsim;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Chunk
{
    Bytes bytes;
    Clock::time_point at;
};

// A frame and where it starts in the byte stream.
struct Found
{
    std::size_t offset;
    Bytes body;
    std::string text;
    friend bool operator==(const Found&, const Found&) = default;
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // the logs write uppercase only
}

Bytes FromLogHex(std::string_view text)
{
    // "XX XX XX"
    FUZZ_CHECK(text.size() % 3 == 2);
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        if (i > 0)
            FUZZ_CHECK(text[i - 1] == ' ');
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        FUZZ_CHECK(high >= 0 && low >= 0);
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return out;
}

Bytes FromLogText(std::string_view text)
{
    // \r, \n, \\ and \xHH; everything else as it is.
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            FUZZ_CHECK(static_cast<std::uint8_t>(c) >= 0x20 && static_cast<std::uint8_t>(c) < 0x7F);
            out.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        FUZZ_CHECK(i + 1 < text.size());
        const char e = text[++i];
        if (e == 'r') {
            out.push_back('\r');
        } else if (e == 'n') {
            out.push_back('\n');
        } else if (e == '\\') {
            out.push_back('\\');
        } else {
            FUZZ_CHECK(e == 'x' && i + 2 < text.size());
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            FUZZ_CHECK(high >= 0 && low >= 0);
            const auto byte = static_cast<std::uint8_t>(high << 4 | low);
            FUZZ_CHECK(byte < 0x20 || byte >= 0x7F);
            FUZZ_CHECK(byte != '\r' && byte != '\n');
            out.push_back(byte);
            i += 2;
        }
    }
    return out;
}

// Checks each report, appends its bytes to `stream` and the frames to `found`.
void Account(Framing framing, const std::vector<Received>& received, Bytes& stream,
             std::vector<Found>& found)
{
    for (const Received& r : received) {
        const Bytes raw = framing == Framing::Rtu ? FromLogHex(r.text) : FromLogText(r.text);
        if (!r.frame) {
            FUZZ_CHECK(!raw.empty());
            if (raw.size() > kMaxBadChunk)
                std::fprintf(stderr, "a report of %zu bytes that made no frame\n", raw.size());
            FUZZ_CHECK(raw.size() <= kMaxBadChunk);
        } else if (framing == Framing::Rtu) {
            FUZZ_CHECK(raw.size() == kRtuRequestSize);
            const auto again = CheckRtuFrame(raw);
            FUZZ_CHECK(again && again->body == r.frame->body);
            FUZZ_CHECK(r.frame->body.size() == kRequestBodySize);
        } else {
            const auto again = CheckAsciiFrame(std::string(raw.begin(), raw.end()));
            FUZZ_CHECK(again && again->body == r.frame->body);
            FUZZ_CHECK(raw.size() == 1 + 2 * (r.frame->body.size() + 1) + 2);
        }
        if (r.frame)
            found.push_back({stream.size(), r.frame->body, r.text});
        stream.insert(stream.end(), raw.begin(), raw.end());
    }
}

void CheckRequest(const Frame& frame, std::uint8_t seed)
{
    const auto request = ReadRequest(frame);
    const bool isRequest =
        frame.body.size() == kRequestBodySize && frame.body[1] == kReadInputRegisters;
    FUZZ_CHECK(request.has_value() == isRequest);
    FUZZ_CHECK(IsForModule(frame, seed) == (isRequest && frame.body[0] == seed));
    if (!request)
        return;
    FUZZ_CHECK(IsForModule(frame, request->address));
    FUZZ_CHECK(request->start == (frame.body[2] << 8 | frame.body[3]));
    FUZZ_CHECK(request->count == (frame.body[4] << 8 | frame.body[5]));

    Registers registers{};
    for (std::size_t i = 0; i < kRegisterCount; ++i)
        registers[i] = static_cast<std::int16_t>(seed * 257 * (i + 1));
    const Bytes body = BuildReplyBody(*request, registers);
    FUZZ_CHECK(body.size() >= 3 && body[0] == request->address);
    if (request->count == 0 || request->count > kMaxReadCount) {
        FUZZ_CHECK((body == Bytes{request->address, 0x84, kIllegalDataValue}));
    } else if (request->start + request->count > kRegisterCount) {
        FUZZ_CHECK((body == Bytes{request->address, 0x84, kIllegalDataAddress}));
    } else {
        FUZZ_CHECK(body.size() == 3 + 2u * request->count && body[1] == 0x04 &&
                   body[2] == 2 * request->count);
        for (std::size_t i = 0; i < request->count; ++i) {
            const auto raw = static_cast<std::uint16_t>(registers[request->start + i]);
            FUZZ_CHECK(body[3 + 2 * i] == raw >> 8 && body[4 + 2 * i] == (raw & 0xFF));
        }
    }

    Bytes rtu = FrameRtu(body);
    FUZZ_CHECK(rtu.size() == body.size() + 2 && Crc16(rtu) == 0);
    CorruptRtu(rtu);
    FUZZ_CHECK(Crc16(rtu) != 0);

    const HexCase hexCase = (seed & 1) ? HexCase::Lower : HexCase::Upper;
    std::string text = FrameAscii(body, hexCase);
    const auto back = CheckAsciiFrame(text);
    FUZZ_CHECK(back && back->body == body);
    CorruptAscii(text, hexCase);
    FUZZ_CHECK(!CheckAsciiFrame(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const Framing framing = (data[0] & 1) ? Framing::Ascii : Framing::Rtu;
    const auto gap = framing == Framing::Rtu ? Clock::duration(kRtuSilenceGap)
                                             : Clock::duration(kAsciiSilenceGap);

    // Chunks: a byte for the pause before it and its length class, a byte
    // for its length, then its bytes.
    std::vector<Chunk> chunks;
    Clock::time_point now = Clock::time_point{} + 1h;
    std::size_t at = 1;
    while (at < size) {
        const std::uint8_t head = data[at++];
        const std::uint8_t n = at < size ? data[at++] : 0;
        static constexpr Clock::duration kNoPause{0};
        const Clock::duration pauses[4] = {kNoPause, 1ms, gap - 1ms, gap};
        now += pauses[head & 3];
        const std::size_t want = (head & 4) ? std::size_t{n} * 8 : n;
        const std::size_t length = std::min(want, size - at);
        chunks.push_back({Bytes(data + at, data + at + length), now});
        at += length;
    }
    const Clock::time_point end = now + 2 * gap;

    Bytes input;
    Bytes stream;
    std::vector<Found> found;
    Receiver receiver(framing);
    for (const Chunk& chunk : chunks) {
        input.insert(input.end(), chunk.bytes.begin(), chunk.bytes.end());
        Account(framing, receiver.feed(chunk.bytes, chunk.at), stream, found);
    }
    Account(framing, receiver.expire(end), stream, found);
    FUZZ_CHECK(!receiver.deadline());
    FUZZ_CHECK(stream == input);

    // The same runs, each fed at once to a fresh receiver.
    Bytes wholeStream;
    std::vector<Found> wholeFound;
    std::size_t first = 0;
    while (first < chunks.size()) {
        if (chunks[first].bytes.empty()) {
            ++first;
            continue;
        }
        Bytes run = chunks[first].bytes;
        Clock::time_point last = chunks[first].at;
        std::size_t next = first + 1;
        for (; next < chunks.size(); ++next) {
            if (chunks[next].bytes.empty())
                continue;
            if (chunks[next].at - last >= gap)
                break;
            run.insert(run.end(), chunks[next].bytes.begin(), chunks[next].bytes.end());
            last = chunks[next].at;
        }
        Receiver fresh(framing);
        Account(framing, fresh.feed(run, chunks[first].at), wholeStream, wholeFound);
        Account(framing, fresh.expire(end), wholeStream, wholeFound);
        first = next;
    }
    FUZZ_CHECK(wholeStream == input);
    FUZZ_CHECK(wholeFound == found);

    for (const Found& f : found)
        CheckRequest(Frame{f.body}, static_cast<std::uint8_t>(f.offset));
    return 0;
}
