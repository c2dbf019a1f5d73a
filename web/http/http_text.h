// The small pieces of HTTP's text rules the parsers share: which bytes make
// a token, and blanks (spaces and tabs) around a value.
#ifndef VANTOR_WEB_HTTP_HTTP_TEXT_H_
#define VANTOR_WEB_HTTP_HTTP_TEXT_H_

#include <string_view>

namespace vantor {

// A byte of an HTTP token (RFC 9110 tchar).
bool TokenChar(unsigned char c);

// True for a space or a tab.
inline bool Blank(char c) { return c == ' ' || c == '\t'; }

// `text` without the spaces and tabs at either end.
std::string_view TrimBlanks(std::string_view text);

}  // namespace vantor

#endif  // VANTOR_WEB_HTTP_HTTP_TEXT_H_
