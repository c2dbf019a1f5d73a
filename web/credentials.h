// The web port's password file: who may call with HTTP Basic credentials.
// One line per user, "name:hash" or "name:hash:AET", where the hash is a
// salted crypt(3) hash ("$6$...", as `openssl passwd -6` makes it; "$y$" and
// "$5$" are taken too) and the AE title names the node of tblDicomAETs whose
// rights and flags the user has (without one, the user may read and store
// as a node without special flags). Blank lines and lines starting with "#"
// are ignored; a plain-text password is never taken.
#ifndef VANTOR_WEB_CREDENTIALS_H_
#define VANTOR_WEB_CREDENTIALS_H_

#include <string>
#include <string_view>
#include <vector>

namespace vantor::web {

struct Credential {
  std::string user;
  std::string hash;
  std::string aet;  // "" when the line names none
};

// The lines of a password file's text; a line that is not of the form is
// left out and its number (from 1) added to `bad_lines`.
std::vector<Credential> ParseCredentials(std::string_view text,
                                         std::vector<int>* bad_lines = nullptr);

// True when `password` matches the salted hash (crypt(3), compared in
// constant time); false for anything that is not such a hash.
bool PasswordMatches(const std::string& password, const std::string& hash);

// The user and password of an "Authorization: Basic ..." value; false when
// it is not one (wrong scheme, bad base64, no colon).
bool DecodeBasicAuthorization(std::string_view header, std::string& user,
                              std::string& password);

}  // namespace vantor::web

#endif  // VANTOR_WEB_CREDENTIALS_H_
