# Writes the panel's page into a C++ source: the HTML with the style sheet and the script put in
# place of their markers, as bytes, so vantrellctl needs no file beside it.
# cmake -DPAGE_DIR=... -DOUTPUT=... -P EmbedPage.cmake
file(READ "${PAGE_DIR}/panel.html" html)
file(READ "${PAGE_DIR}/panel.css" css)
file(READ "${PAGE_DIR}/panel.js" js)
string(REPLACE "/* @PANEL_CSS@ */" "${css}" html "${html}")
string(REPLACE "/* @PANEL_JS@ */" "${js}" html "${html}")
string(HEX "${html}" hex)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from src/ctl/web/page at build time; edit those files instead.\n"
  "#include \"ctl/web/PanelPage.hpp\"\n\nnamespace {\nconst unsigned char kPage[] = {\n${bytes}\n};\n}\n\n"
  "std::string_view Ctl::Web::panelPage() { return {reinterpret_cast<const char*>(kPage), ${size}}; }\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
