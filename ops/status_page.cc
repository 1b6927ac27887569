#include "ops/status_page.h"

#include <cstdint>
#include <random>

// kStatusPageHtml: status_page.html as it stands, made at build time.
#include "ops/status_page_html.h"

namespace ops {
namespace {

constexpr char kTitleMark[] = "@TITLE@";
constexpr char kNonceMark[] = "@NONCE@";
constexpr int kNonceBytes = 16;

}  // namespace

std::string html_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string status_page(const std::string& title, const std::string& nonce) {
  // One pass over the file, so that marks inside the title are left as
  // text.
  const std::string page = kStatusPageHtml;
  const std::string title_text = html_text(title);
  const std::string nonce_text = html_text(nonce);
  std::string out;
  out.reserve(page.size() + 4 * title_text.size());
  size_t at = 0;
  while (at < page.size()) {
    const size_t mark = page.find('@', at);
    if (mark == std::string::npos) break;
    out.append(page, at, mark - at);
    if (page.compare(mark, sizeof kTitleMark - 1, kTitleMark) == 0) {
      out += title_text;
      at = mark + sizeof kTitleMark - 1;
    } else if (page.compare(mark, sizeof kNonceMark - 1, kNonceMark) == 0) {
      out += nonce_text;
      at = mark + sizeof kNonceMark - 1;
    } else {
      out += '@';
      at = mark + 1;
    }
  }
  out.append(page, at, std::string::npos);
  return out;
}

std::string status_page_policy(const std::string& nonce) {
  return "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
         "'; connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'";
}

std::string make_nonce() {
  static constexpr char kBase64[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  // The system's random source: a nonce an attacker could predict would
  // let an injected script through.
  std::random_device source;
  uint8_t bytes[kNonceBytes + 2] = {};
  for (int i = 0; i < kNonceBytes; i += 4) {
    const uint32_t word = source();
    for (int k = 0; k < 4; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  std::string out;
  for (int i = 0; i < kNonceBytes; i += 3) {
    const uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    const int chars = i + 3 <= kNonceBytes ? 4 : (kNonceBytes - i) + 1;
    for (int k = 0; k < 4; ++k) out += k < chars ? kBase64[(group >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

}  // namespace ops
