#include "options.h"

#include <charconv>
#include <limits>

namespace modsim {

namespace {

// Upper bounds that keep a typo from turning into an hour-long wait.
constexpr long long kMaxMilliseconds = 3'600'000;
constexpr long long kMaxEvery = 1'000'000;
constexpr long long kMaxStray = 1024;
// A reply never splits into more pieces than it has bytes (21 RTU, 43 ASCII);
// the cap only catches typos.
constexpr long long kMaxPieces = 64;

std::optional<long long> ReadInteger(std::string_view text)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end)
        return std::nullopt;
    return value;
}

// Reads `text` as a whole number in lo..hi; on failure fills `error`.
std::optional<long long> ReadInRange(std::string_view name, std::string_view text, long long lo,
                                     long long hi, std::string& error)
{
    const auto value = ReadInteger(text);
    if (!value || *value < lo || *value > hi) {
        error = std::string(name) + ": '" + std::string(text) + "' is not a whole number from " +
                std::to_string(lo) + " to " + std::to_string(hi);
        return std::nullopt;
    }
    return value;
}

// A probability written as a decimal number from 0 to 1, e.g. "0.3".
std::optional<double> ReadProbability(std::string_view name, std::string_view text,
                                      std::string& error)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || ec != std::errc{} || ptr != end || !(value >= 0.0 && value <= 1.0)) {
        error = std::string(name) + ": '" + std::string(text) + "' is not a number from 0 to 1";
        return std::nullopt;
    }
    return value;
}

std::optional<Registers> ReadValues(std::string_view text, std::string& error)
{
    Registers values{};
    std::size_t count = 0;
    std::size_t from = 0;
    while (true) {
        const std::size_t comma = text.find(',', from);
        const std::string_view item = text.substr(
            from, comma == std::string_view::npos ? std::string_view::npos : comma - from);
        if (count == kRegisterCount) {
            error = "--values: more than 8 values in '" + std::string(text) + "'";
            return std::nullopt;
        }
        const auto value = ReadInRange("--values", item, std::numeric_limits<std::int16_t>::min(),
                                       std::numeric_limits<std::int16_t>::max(), error);
        if (!value)
            return std::nullopt;
        values[count++] = static_cast<std::int16_t>(*value);
        if (comma == std::string_view::npos)
            break;
        from = comma + 1;
    }
    if (count != kRegisterCount) {
        error = "--values: " + std::to_string(count) + " values given, 8 needed";
        return std::nullopt;
    }
    return values;
}

} // namespace

ParseResult ParseOptions(std::span<const std::string_view> args)
{
    ParseResult result;
    Options& o = result.options;
    std::string& error = result.error;
    bool awayForGiven = false;
    // Options that only shape random faults, and the named faults that
    // random faults replace; named for the message if they are misused.
    std::string_view randomOnly;
    std::string_view namedFault;

    for (std::size_t i = 0; i < args.size() && error.empty(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> inlineValue;
        if (const auto eq = name.find('=');
            name.starts_with("--") && eq != std::string_view::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        // Fetches the option's value from "--name=value" or the next argument.
        const auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            error = std::string(name) + ": value missing";
            return std::nullopt;
        };
        const auto flag = [&](bool& target) {
            if (inlineValue)
                error = std::string(name) + " takes no value";
            target = true;
        };
        const auto number = [&](long long lo, long long hi) -> std::optional<long long> {
            const auto text = value();
            return text ? ReadInRange(name, *text, lo, hi, error) : std::nullopt;
        };
        const auto millis = [&](std::chrono::milliseconds& target) {
            if (const auto n = number(0, kMaxMilliseconds))
                target = std::chrono::milliseconds(*n);
        };
        const auto every = [&](unsigned& target) {
            if (const auto n = number(1, kMaxEvery))
                target = static_cast<unsigned>(*n);
        };

        if (name == "--help" || name == "-h") {
            result.help = true;
            return result;
        } else if (name == "--framing") {
            if (const auto text = value()) {
                if (*text == "rtu")
                    o.framing = Framing::Rtu;
                else if (*text == "ascii")
                    o.framing = Framing::Ascii;
                else
                    error = "--framing: '" + std::string(*text) + "' is neither rtu nor ascii";
            }
        } else if (name == "--address") {
            if (const auto n = number(1, 255))
                o.address = static_cast<std::uint8_t>(*n);
        } else if (name == "--also-address") {
            if (const auto n = number(1, 255))
                o.alsoAddress = static_cast<std::uint8_t>(*n);
        } else if (name == "--link") {
            if (const auto text = value())
                o.link = *text;
        } else if (name == "--device") {
            if (const auto text = value())
                o.device = *text;
        } else if (name == "--values") {
            if (const auto text = value())
                o.values = ReadValues(*text, error);
        } else if (name == "--log") {
            if (const auto text = value())
                o.logPath = *text;
        } else if (name == "--log-line") {
            flag(o.logLine);
        } else if (name == "--echo") {
            flag(o.echo);
        } else if (name == "--corrupt-every") {
            every(o.corruptEvery);
            namedFault = "--corrupt-every";
        } else if (name == "--lowercase") {
            flag(o.lowercase);
        } else if (name == "--silent") {
            flag(o.silent);
            namedFault = "--silent";
        } else if (name == "--delay") {
            millis(o.delay);
            namedFault = "--delay";
        } else if (name == "--split") {
            namedFault = "--split";
            if (const auto text = value()) {
                const auto colon = text->find(':');
                if (colon == std::string_view::npos) {
                    error = "--split: '" + std::string(*text) + "' is not PIECES:MS";
                } else if (const auto n = ReadInRange("--split pieces", text->substr(0, colon), 1,
                                                      kMaxPieces, error)) {
                    if (const auto ms = ReadInRange("--split gap", text->substr(colon + 1), 0,
                                                    kMaxMilliseconds, error)) {
                        o.splitPieces = static_cast<unsigned>(*n);
                        o.splitGap = std::chrono::milliseconds(*ms);
                    }
                }
            }
        } else if (name == "--truncate-every") {
            every(o.truncateEvery);
            namedFault = "--truncate-every";
        } else if (name == "--stray") {
            if (const auto n = number(0, kMaxStray))
                o.stray = static_cast<unsigned>(*n);
            namedFault = "--stray";
        } else if (name == "--away-after") {
            every(o.awayAfter);
        } else if (name == "--away-for") {
            millis(o.awayFor);
            awayForGiven = true;
        } else if (name == "--away-repeat") {
            flag(o.awayRepeat);
        } else if (name == "--noise-for") {
            millis(o.noiseFor);
        } else if (name == "--random-faults") {
            if (const auto n = number(0, std::numeric_limits<long long>::max()))
                o.randomFaults = static_cast<std::uint64_t>(*n);
        } else if (name == "--fault-rate") {
            if (const auto text = value())
                if (const auto p = ReadProbability(name, *text, error))
                    o.faultRate = *p;
            randomOnly = "--fault-rate";
        } else if (name == "--max-delay") {
            millis(o.maxDelay);
            randomOnly = "--max-delay";
        } else {
            error = "unknown option '" + std::string(args[i]) + "' (see --help)";
        }
    }
    if (!error.empty())
        return result;

    if (o.link.empty() == o.device.empty())
        error = "give exactly one of --link PATH and --device DEV";
    else if (o.lowercase && o.framing != Framing::Ascii)
        error = "--lowercase needs --framing ascii: RTU replies carry no hex digits";
    else if ((o.awayAfter != 0) != awayForGiven)
        error = "--away-after and --away-for go together";
    else if (o.awayRepeat && o.awayAfter == 0)
        error = "--away-repeat needs --away-after and --away-for";
    else if (!randomOnly.empty() && !o.randomFaults)
        error = std::string(randomOnly) + " needs --random-faults";
    else if (o.randomFaults && !namedFault.empty())
        error =
            "--random-faults draws each reply's fault itself: leave out " + std::string(namedFault);
    return result;
}

std::string HelpText()
{
    // One line per option, saying what goes on the wire.
    // clang-format off
    return
        "usage: modsim (--link PATH | --device DEV) [options]\n"
        "Plays an 8-channel Modbus input module answering function 04 (read input registers).\n"
        "\n"
        "  --link PATH         open a pseudo-terminal, make PATH a symlink to its slave device\n"
        "  --device DEV        serve the serial device DEV instead (raw, 9600 8N1)\n"
        "  --framing rtu|ascii rtu (default): binary, CRC-16 low byte first; ascii: ':' hex LRC CR LF\n"
        "  --address N         answer function-04 requests for address N (1..255, default 67), nothing else\n"
        "  --also-address N    answer address N as well, as a second module on the same line would\n"
        "  --values v0,...,v7  registers 0..7 hold these signed 16-bit values (default: slow sine waves)\n"
        "  --log FILE          write '<monotonic s> <event> [bytes]' lines: rx, rx-bad, silent; tx, tx-<fault> as sent\n"
        "  --log-line          log also 'line 9600,N,8,1' where a request finds the line set anew\n"
        "  --echo              send every byte read straight back, ahead of the reply, as an adapter that\n"
        "                      hears its own transmitter (logged as echo); combines with every fault\n"
        "  --corrupt-every N   replies N, 2N, ...: RTU CRC low byte inverted, ASCII LRC digits of the inverted LRC\n"
        "  --lowercase         ascii only: reply hex digits, LRC included, in lowercase\n"
        "  --silent            send nothing at all (requests are still logged)\n"
        "  --delay MS          send each reply MS milliseconds after its request arrived\n"
        "  --split N:MS        send each reply in N nearly equal pieces, MS milliseconds apart\n"
        "  --truncate-every N  replies N, 2N, ...: only the first half goes out (RTU 10 bytes, ASCII 21 chars)\n"
        "  --stray N           send N stray bytes right before every reply: 0x00 in RTU, '?' in ASCII\n"
        "  --away-after N      after the Nth request's reply: close the port, remove the link (client sees hangup)\n"
        "  --away-for MS       ... and MS milliseconds later open a fresh pty (or DEV) and recreate the link\n"
        "  --away-repeat       go away again after every further N requests (default: once)\n"
        "  --noise-for MS      from start, send random bytes as fast as the port takes them for MS milliseconds\n"
        "  --random-faults SEED per reply, maybe one fault drawn from SEED: corrupt, silent, late, split, 1-3 stray bytes\n"
        "  --fault-rate P      with --random-faults: a reply gets a fault with probability P (0..1, default 0.3)\n"
        "  --max-delay MS      with --random-faults: late waits 0..MS, split spreads 2-4 pieces over <= MS (default 10)\n"
        "  --help              print this text\n"
        "\n"
        "Exit status: 0 after SIGINT or SIGTERM (link removed), 1 if the port cannot be served, 2 for a bad\n"
        "command line.\n";
    // clang-format on
}

} // namespace modsim
