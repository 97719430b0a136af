// poll::RecordingReader on arbitrary files. The input's first two bytes
// choose where the rest, the file, is cut in two.
//
// - The file read whole, in two pieces at the chosen cut, and a byte at a
//   time gives the same rows, skip counts, line count, state and message.
// - Every row has eight finite values and a time no earlier than the row
//   before it, but at a jump in time the reader counted.
// - Once the header is read, the header, the rows and the skipped lines
//   account for every line of the file: one for each LF, and one for bytes
//   after the last. A file that is not read gives no rows and no skips.
// The file, and each of the two pieces, is fed from a block of exactly its
// size, so AddressSanitizer reports any read past it.

#include "fuzzcheck.h"
#include "poll/csvformat.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <vector>

namespace {

using poll::RecordingReader;

struct Outcome
{
    RecordingReader::State state;
    QString message;
    qint64 lines;
    qint64 timeJumps;
    std::array<qint64, poll::kSkipReasonCount> skips;
    std::vector<poll::Sample> rows;

    bool operator==(const Outcome&) const = default;
};

// Feeds file[0, cut), then the rest `step` bytes at a time (0: all at once).
Outcome Read(std::span<const std::uint8_t> file, std::size_t cut, std::size_t step)
{
    RecordingReader reader(QStringLiteral("fuzz.csv"));
    Outcome out{};
    qint64 backSteps = 0;
    const auto take = [&] {
        for (const poll::Sample& row : reader.takeRows()) {
            for (float value : row.values)
                FUZZ_CHECK(std::isfinite(value));
            backSteps += !out.rows.empty() && row.timeMs < out.rows.back().timeMs;
            out.rows.push_back(row);
        }
    };
    std::size_t at = 0;
    do { // an empty file too is fed once
        const std::size_t end = at < cut ? cut
                                : step   ? std::min(file.size(), at + step)
                                         : file.size();
        // Each piece in a block of its own, but not a byte at a time: an
        // allocation a byte would slow the run down several times.
        std::optional<fuzz::ExactCopy> copy;
        std::span<const std::uint8_t> piece = file.subspan(at, end - at);
        if (step != 1)
            piece = copy.emplace(piece).bytes();
        reader.feed(QByteArrayView(piece.data(), static_cast<qsizetype>(piece.size())));
        take();
        at = end;
    } while (at < file.size());
    reader.finish();
    take(); // rows held after a jump ahead
    out.state = reader.state();
    out.message = reader.errorString();
    out.lines = reader.lineCount();
    out.timeJumps = reader.timeJumps();
    FUZZ_CHECK(backSteps <= out.timeJumps);
    for (std::size_t i = 0; i < out.skips.size(); ++i)
        out.skips[i] = reader.skipped(poll::SkipReason(i));
    FUZZ_CHECK(reader.rowCount() == static_cast<qint64>(out.rows.size()));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const fuzz::ExactCopy input({data + 2, size - 2});
    const std::span<const std::uint8_t> file = input.bytes();
    const std::size_t cut = (data[0] | data[1] << 8) % (file.size() + 1);

    const Outcome whole = Read(file, 0, 0);
    FUZZ_CHECK(Read(file, cut, 0) == whole);
    FUZZ_CHECK(Read(file, 0, 1) == whole);

    qint64 skipped = 0;
    for (qint64 n : whole.skips)
        skipped += n;
    if (whole.state == RecordingReader::State::Reading) {
        const auto lfs = std::count(file.begin(), file.end(), '\n');
        const bool unended = !file.empty() && file.back() != '\n';
        FUZZ_CHECK(whole.lines == lfs + unended);
        FUZZ_CHECK(whole.lines == 1 + static_cast<qint64>(whole.rows.size()) + skipped);
    } else {
        FUZZ_CHECK(whole.rows.empty() && skipped == 0 && whole.lines == 0 &&
                   !whole.message.isEmpty());
    }
    return 0;
}
