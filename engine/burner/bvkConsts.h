// The texts the component gives for its error numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace torvik {

// The 8-bit text of an error number; fileName is the file the failing operation recorded
// (empty when it recorded none).
std::string ErrorText(uint32_t errorNumber, std::string_view fileName);
// The wide text of an error number.
std::u16string ErrorTextW(uint32_t errorNumber, std::u16string_view fileName);

}  // namespace torvik
