// A small SQL tokeniser for the fuzz targets: cuts a statement into
// literals ('...' with '' inside), numbers, words and single punctuation
// characters, the way the database reads them, so that a target can check
// where the text of a key ended up.
#ifndef VANTOR_FUZZ_SQL_TOKENS_H_
#define VANTOR_FUZZ_SQL_TOKENS_H_

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::fuzz {

enum class TokenKind { kLiteral, kNumber, kWord, kPunct };

struct SqlToken {
  TokenKind kind;
  std::string text;  // a literal's text without its quotes, '' undone
};

inline bool IsWordChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_' || c >= 0x80;
}

// The tokens; nullopt when a literal is not closed.
inline std::optional<std::vector<SqlToken>> Tokenise(std::string_view sql) {
  std::vector<SqlToken> out;
  size_t i = 0;
  while (i < sql.size()) {
    const unsigned char c = static_cast<unsigned char>(sql[i]);
    if (c == ' ' || c == '\t') {
      ++i;
    } else if (c == '\'') {
      std::string text;
      ++i;
      for (;;) {
        if (i >= sql.size()) return std::nullopt;
        if (sql[i] == '\'') {
          if (i + 1 < sql.size() && sql[i + 1] == '\'') {
            text += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        text += sql[i++];
      }
      out.push_back({TokenKind::kLiteral, text});
    } else if (c >= '0' && c <= '9') {
      size_t start = i;
      while (i < sql.size() && IsWordChar(static_cast<unsigned char>(sql[i])))
        ++i;
      out.push_back(
          {TokenKind::kNumber, std::string(sql.substr(start, i - start))});
    } else if (IsWordChar(c)) {
      size_t start = i;
      while (i < sql.size() && IsWordChar(static_cast<unsigned char>(sql[i])))
        ++i;
      out.push_back(
          {TokenKind::kWord, std::string(sql.substr(start, i - start))});
    } else {
      out.push_back({TokenKind::kPunct, std::string(1, sql[i])});
      ++i;
    }
  }
  return out;
}

// The statement's structure: every token but the literals' text.
inline std::string Skeleton(const std::vector<SqlToken>& tokens) {
  std::string out;
  for (const SqlToken& t : tokens) {
    out += t.kind == TokenKind::kLiteral ? "'?'" : t.text;
    out += ' ';
  }
  return out;
}

[[noreturn]] inline void Fail(const char* what, std::string_view sql) {
  std::fprintf(stderr, "%s\n  statement: %.*s\n", what,
               static_cast<int>(sql.size()), sql.data());
  std::abort();
}

// Nothing outside the literals may end the statement (but its own closing
// ";"), start a comment or start a second one.
inline void CheckNoStatementBreak(const std::vector<SqlToken>& tokens,
                                  std::string_view sql) {
  for (size_t k = 0; k < tokens.size(); ++k) {
    const SqlToken& t = tokens[k];
    if (t.kind != TokenKind::kPunct) continue;
    if (t.text == ";" && k + 1 != tokens.size())
      Fail("a ';' outside the literals", sql);
    if (k + 1 < tokens.size() && tokens[k + 1].kind == TokenKind::kPunct) {
      const std::string pair = t.text + tokens[k + 1].text;
      if (pair == "--" || pair == "/*")
        Fail("a comment outside the literals", sql);
    }
  }
}

}  // namespace vantor::fuzz

#endif  // VANTOR_FUZZ_SQL_TOKENS_H_
