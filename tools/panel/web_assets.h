// The page's files, embedded at build time from tools/panel/web/ (see
// embed_web.cmake).
#pragma once

namespace orvane::panel::web {

extern const char* const index_html;
extern const char* const panel_css;
extern const char* const panel_js;

}  // namespace orvane::panel::web
