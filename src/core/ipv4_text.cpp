#include "core/ipv4_text.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "core/text.h"

namespace quillon {

std::optional<uint32_t> ParseIPv4Text(std::u16string_view text) {
  const size_t nul = text.find(u'\0');
  if (nul != std::u16string_view::npos) text = text.substr(0, nul);
  // Characters outside the code page become '?', which no address holds.
  const std::string bytes = TextToAnsi(text);
  in_addr address{};
  if (inet_aton(bytes.c_str(), &address) == 0) return std::nullopt;
  const uint32_t number = ntohl(address.s_addr);
  if (number == 0xFFFFFFFFu) return std::nullopt;
  return number;
}

}  // namespace quillon
