# Writes PAGE/sw.js from TEMPLATE: the page's FILES, with "./" for the
# folder itself, and the SHA-256 of their contents, in that order.
set(hashes "")
set(quoted "'./'")
foreach(file ${FILES})
  file(SHA256 ${PAGE}/${file} hash)
  string(APPEND hashes "${hash}")
  string(APPEND quoted ", '${file}'")
endforeach()
string(SHA256 PAGE_HASH "${hashes}")
string(SUBSTRING "${PAGE_HASH}" 0 16 PAGE_HASH)
set(PAGE_FILES "${quoted}")
configure_file(${TEMPLATE} ${PAGE}/sw.js @ONLY)
