// What the fuzz targets share: a check that stops the run with a message
// (libFuzzer then saves the input that broke it), and a copy of the input
// into a heap block of exactly its size so that AddressSanitizer reports any
// read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

// The bytes in a block of their own, sized exactly: no slack after the end.
class ExactCopy
{
public:
    explicit ExactCopy(std::span<const std::uint8_t> bytes)
        : m_size(bytes.size()), m_bytes(new std::uint8_t[bytes.size()])
    {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            m_bytes[i] = bytes[i];
    }

    std::span<const std::uint8_t> bytes() const { return {m_bytes.get(), m_size}; }
    std::string_view text() const { return {reinterpret_cast<const char*>(m_bytes.get()), m_size}; }

private:
    std::size_t m_size;
    std::unique_ptr<std::uint8_t[]> m_bytes;
};

} // namespace fuzz
