# Writes the page INPUT as the body of ServePage() into OUTPUT.
file(READ ${INPUT} XOL_TEXT)
file(WRITE ${OUTPUT}
"// Generated from web/page.html; edit that file instead.
#include <string_view>

namespace xolhost {

std::string_view ServePage() {
    return R\"xolhost_page(${XOL_TEXT})xolhost_page\";
}

} // namespace xolhost
")
