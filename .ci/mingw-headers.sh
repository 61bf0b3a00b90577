# Sourced by the Windows steps. Debian ships no MinGW build of libcrypto or of
# Expat, and their API headers are portable: these put a copy of Debian's
# (only those, not the rest of /usr/include) in the directory given.
copy_openssl_headers() {
  local multiarch
  multiarch=$(gcc -print-multiarch)
  mkdir -p "$1"
  rm -rf "$1/openssl"
  cp -r /usr/include/openssl "$1/"
  cp /usr/include/"$multiarch"/openssl/*.h "$1/openssl/"  # configuration.h, opensslconf.h
}
copy_expat_headers() {
  mkdir -p "$1"
  cp /usr/include/expat.h /usr/include/expat_external.h "$1/"
}
