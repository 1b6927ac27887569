// The public "who is online" page of lobby_exporter: one HTML file
// (status_page.html beside this one) compiled into the program, whose own
// script fetches status.json every 10 s and shows it. Names and titles
// reach the page only as data and are written into it as text. Any thread.
#ifndef OPS_STATUS_PAGE_H_
#define OPS_STATUS_PAGE_H_

#include <string>

namespace ops {

constexpr char kDefaultPageTitle[] = "Who is online";

// The page with `title` as its heading and window title, and `nonce` on its
// one style and one script element.
std::string status_page(const std::string& title, const std::string& nonce);
// The Content-Security-Policy the page goes with: only its own style and
// script run (by their nonce, so no inline handler and no script from
// elsewhere), nothing is loaded from another origin, and the script may
// fetch from the exporter alone.
std::string status_page_policy(const std::string& nonce);
// 16 random bytes in base64, new for every page served.
std::string make_nonce();
// `text` with & < > " ' written as character references: safe as the
// content of an element or a quoted attribute.
std::string html_text(const std::string& text);

}  // namespace ops

#endif  // OPS_STATUS_PAGE_H_
