#pragma once
#include <string>

namespace Overlay::Common {

// Strict base64 (standard alphabet, "=" padding): the length must be a multiple of 4, padding
// only at the end. An empty text decodes to nothing. False on anything else.
bool DecodeBase64(const std::string& text, std::string* out);

}  // namespace Overlay::Common
