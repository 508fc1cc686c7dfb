// Integer text of a series number: leading spaces, one sign, decimal or $/x/0x hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// nullopt when the text is not a valid 32-bit integer
std::optional<int32_t> parse_int32(std::u16string_view text);
