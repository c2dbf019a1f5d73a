// The name look-up of the socket class: own names and addresses, host
// names, private address ranges.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "host/base/failure.h"
#include "net/socket.h"
#include "net/socket_io.h"

namespace vantor {
namespace {

using socket_io::DottedText;

// The leading digits of `text` as a number (0 without any).
int LeadingNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int number = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    number = number * 10 + (text[i] - '0');
    if (number > 1000000) break;
  }
  return number;
}
}  // namespace

uint32_t Socket::Resolve(const std::string& host) {
  if (host.empty()) return INADDR_NONE;
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return address.s_addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list)
    return INADDR_NONE;
  const uint32_t first =
      reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(list);
  return first;
}

std::string Socket::GetIP(const std::string& hostname, int16_t adapter) {
  return Guard("GetIP", std::string(), [&] {
    if (adapter < 0 || hostname.empty()) return std::string();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(hostname.c_str(), nullptr, &hints, &list) != 0)
      return std::string();
    std::string result;
    addrinfo* entry = list;
    for (int i = 0; entry && i < adapter; ++i) entry = entry->ai_next;
    if (entry)
      result =
          DottedText(reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr);
    ::freeaddrinfo(list);
    return result;
  });
}

std::string Socket::GetDNS(const std::string& host) {
  return Guard("GetDNS", std::string(), [&] {
    const uint32_t address = Resolve(host);
    if (address == INADDR_NONE) return std::string();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name,
                      sizeof name, nullptr, 0, NI_NAMEREQD) != 0)
      return std::string();
    return std::string(name);
  });
}

std::string Socket::MyName() {
  char name[257] = {};
  if (::gethostname(name, 256) != 0) return std::string();
  return name;
}

std::string Socket::MyIP() {
  return Guard("MyIP", std::string(), [] {
    const std::string name = MyName();
    if (name.empty()) return std::string();
    std::string last_private, last_public;
    for (int16_t i = 0; i < INT16_MAX; ++i) {
      const std::string ip = GetIP(name, i);
      if (ip.empty()) break;
      (IsPrivateIP(ip) ? last_private : last_public) = ip;
    }
    return last_public.empty() ? last_private : last_public;
  });
}

bool Socket::IsPrivateIP(const std::string& ip) {
  const size_t dot = ip.find('.');
  const int a = LeadingNumber(ip);
  const int b =
      dot == std::string::npos ? 0 : LeadingNumber(ip.substr(dot + 1));
  return a == 10 || (a == 172 && b >= 16 && b <= 31) ||
         (a == 192 && b == 168) || (a == 127 && b == 0);
}

}  // namespace vantor
