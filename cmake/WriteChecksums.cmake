# Writes OUTPUT in the format that `sha256sum -c` reads: for each file of
# FILES (all in DIST), its SHA-256 in hexadecimal, two spaces and its bare
# name, one a line, in name order.
#   cmake -DDIST=dir -DOUTPUT=file -DFILES=a;b -P WriteChecksums.cmake
set(names "")
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(text "")
foreach(name IN LISTS names)
  file(SHA256 "${DIST}/${name}" hash)
  string(APPEND text "${hash}  ${name}\n")
endforeach()
file(WRITE "${OUTPUT}" "${text}")
