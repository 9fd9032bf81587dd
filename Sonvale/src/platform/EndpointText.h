// UTF-8 <-> wide string conversion for endpoint names (PulseAudio speaks
// UTF-8, the directory wide strings). Invalid input becomes U+FFFD; nothing
// throws.
#pragma once

#include <string>
#include <string_view>

namespace sonvale {

std::wstring EndpointWideFromUtf8(std::string_view utf8);
std::string EndpointUtf8FromWide(std::wstring_view wide);

}  // namespace sonvale
