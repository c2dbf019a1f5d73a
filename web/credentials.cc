#include "web/credentials.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

#include "host/base/numeric.h"

namespace vantor::web {
namespace {

bool IsSaltedHash(std::string_view hash) {
  return hash.size() > 20 &&
         (hash.rfind("$6$", 0) == 0 || hash.rfind("$5$", 0) == 0 ||
          hash.rfind("$y$", 0) == 0 || hash.rfind("$2b$", 0) == 0);
}

}  // namespace

std::vector<Credential> ParseCredentials(std::string_view text,
                                         std::vector<int>* bad_lines) {
  std::vector<Credential> out;
  int number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') {
      if (end == text.size()) break;
      continue;
    }
    // The hash holds "$" but never ":"; the AE title is the rest.
    const size_t first = trimmed.find(':');
    const size_t second =
        first == std::string::npos ? first : trimmed.find(':', first + 1);
    Credential c;
    if (first != std::string::npos) {
      c.user = trimmed.substr(0, first);
      c.hash = trimmed.substr(first + 1, second == std::string::npos
                                             ? std::string::npos
                                             : second - first - 1);
      if (second != std::string::npos) c.aet = Trim(trimmed.substr(second + 1));
    }
    if (c.user.empty() || !IsSaltedHash(c.hash)) {
      if (bad_lines) bad_lines->push_back(number);
    } else {
      out.push_back(std::move(c));
    }
    if (end == text.size()) break;
  }
  return out;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  if (!IsSaltedHash(hash)) return false;
  crypt_data data{};
  const char* result = ::crypt_r(password.c_str(), hash.c_str(), &data);
  if (result == nullptr || result[0] == '*') return false;
  const size_t n = std::strlen(result);
  return n == hash.size() && CRYPTO_memcmp(result, hash.data(), n) == 0;
}

bool DecodeBasicAuthorization(std::string_view header, std::string& user,
                              std::string& password) {
  constexpr std::string_view kScheme = "basic ";
  if (header.size() <= kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i])
      return false;
  const std::string encoded = Trim(header.substr(kScheme.size()));
  if (encoded.empty() || encoded.size() % 4 != 0 || encoded.size() > 4096)
    return false;
  std::string decoded(encoded.size() / 4 * 3 + 1, '\0');
  const int n = EVP_DecodeBlock(
      reinterpret_cast<unsigned char*>(decoded.data()),
      reinterpret_cast<const unsigned char*>(encoded.data()),
      static_cast<int>(encoded.size()));
  if (n < 0) return false;
  size_t length = static_cast<size_t>(n);
  // EVP_DecodeBlock counts the padding's bytes as zeros.
  if (encoded.back() == '=') --length;
  if (encoded.size() > 1 && encoded[encoded.size() - 2] == '=') --length;
  decoded.resize(length);
  const size_t colon = decoded.find(':');
  if (colon == std::string::npos || decoded.find('\0') != std::string::npos)
    return false;
  user = decoded.substr(0, colon);
  password = decoded.substr(colon + 1);
  return !user.empty();
}

}  // namespace vantor::web
