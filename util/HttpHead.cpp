#include "util/HttpHead.h"

#include <cstdint>

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A token character of a method or header name.
bool TokenChar(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

size_t HttpRequestLineLength(std::string_view bytes) {
  const size_t end = bytes.find("\r\n");
  return end == std::string_view::npos ? 0 : end + 2;
}

HttpHeadStatus HttpHeadParse(std::string_view bytes, HttpHead* head) {
  *head = HttpHead{};
  const size_t end = bytes.substr(0, kHttpHeadMax).find("\r\n\r\n");
  if (end == std::string_view::npos) {
    return bytes.size() >= kHttpHeadMax ? HttpHeadStatus::kTooLong : HttpHeadStatus::kIncomplete;
  }
  head->length = end + 4;
  std::string_view rest = bytes.substr(0, end + 2);  // every line with its "\r\n"
  const size_t lineEnd = rest.find("\r\n");
  std::string_view line = rest.substr(0, lineEnd);
  rest.remove_prefix(lineEnd + 2);

  const size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) return HttpHeadStatus::kBad;
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return HttpHeadStatus::kBad;
  head->method = line.substr(0, sp1);
  head->target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  head->version = line.substr(sp2 + 1);
  for (char c : head->method)
    if (!TokenChar(c)) return HttpHeadStatus::kBad;
  for (char c : head->target)
    if (c <= 0x20 || c >= 0x7f) return HttpHeadStatus::kBad;
  if (head->version != "HTTP/1.1" && head->version != "HTTP/1.0") return HttpHeadStatus::kBad;
  const size_t q = head->target.find('?');
  head->path = head->target.substr(0, q);
  if (q != std::string_view::npos) head->query = head->target.substr(q + 1);

  while (!rest.empty()) {
    const size_t e = rest.find("\r\n");
    std::string_view h = rest.substr(0, e);
    rest.remove_prefix(e + 2);
    const size_t colon = h.find(':');
    if (colon == std::string_view::npos || colon == 0) return HttpHeadStatus::kBad;
    for (char c : h.substr(0, colon))
      if (!TokenChar(c)) return HttpHeadStatus::kBad;
    for (char c : h.substr(colon + 1))
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return HttpHeadStatus::kBad;
    if (head->headers.size() == kHttpHeadersMax) return HttpHeadStatus::kTooLong;
    head->headers.push_back({h.substr(0, colon), Trim(h.substr(colon + 1))});
  }
  return HttpHeadStatus::kComplete;
}

std::string_view HttpHeadGet(const HttpHead& head, std::string_view name) {
  for (const HttpHeader& h : head.headers)
    if (EqualNoCase(h.name, name)) return h.value;
  return {};
}

std::string_view HttpHeadGetLast(const HttpHead& head, std::string_view name) {
  for (auto h = head.headers.rbegin(); h != head.headers.rend(); ++h)
    if (EqualNoCase(h->name, name)) return h->value;
  return {};
}

bool HttpHeaderHasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    if (EqualNoCase(Trim(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

std::string_view HttpHeadCookie(const HttpHead& head, std::string_view name) {
  for (const HttpHeader& h : head.headers) {
    if (!EqualNoCase(h.name, "Cookie")) continue;
    std::string_view list = h.value;
    while (!list.empty()) {
      const size_t semi = list.find(';');
      const std::string_view pair = Trim(list.substr(0, semi));
      const size_t eq = pair.find('=');
      if (eq != std::string_view::npos && pair.substr(0, eq) == name) return Trim(pair.substr(eq + 1));
      if (semi == std::string_view::npos) break;
      list.remove_prefix(semi + 1);
    }
  }
  return {};
}

bool HttpPercentDecode(std::string_view text, bool plusIsSpace, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      c = ' ';
    }
    // A control byte (NUL, CR, LF...) names nothing and would split a log line.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    out->push_back(c);
  }
  return true;
}
