# Shared by the scripts that build dependencies from Debian's source packages
# (sourced, POSIX sh; needs SRC, the directory the sources are unpacked in).

# Downloads a source package (the release of the suite first, then the other
# versions the archive lists) and unpacks it into $SRC/<package>. Where the
# packaging part cannot be had, the upstream (orig) tarball of the same
# source package is used as it is.
fetch() {
    pkg=$1
    [ -d "$SRC/$pkg" ] && return 0
    dl=$SRC/dl-$pkg
    mkdir -p "$dl"
    (cd "$dl" && apt-get source --download-only -qq "$pkg" >/dev/null 2>&1) || true
    if ! ls "$dl"/*.dsc >/dev/null 2>&1 || ! ls "$dl"/*.orig.tar.* >/dev/null 2>&1; then
        for v in $(apt-cache showsrc --only-source "$pkg" | sed -n 's/^Version: //p' | sort -u); do
            (cd "$dl" && apt-get source --download-only -qq "$pkg=$v" >/dev/null 2>&1) || true
            ls "$dl"/*.orig.tar.* >/dev/null 2>&1 && break
        done
    fi
    orig=$(ls "$dl"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n 1)
    [ -n "$orig" ] || { echo "no source for $pkg" >&2; exit 1; }
    dsc=$(ls "$dl"/*.dsc 2>/dev/null | head -n 1)
    if [ -n "$dsc" ] && (cd "$dl" && dpkg-source --no-check -x "$dsc" "$SRC/$pkg" >/dev/null 2>&1); then
        return 0
    fi
    echo "$pkg: packaging part missing, using $(basename "$orig")"
    rm -rf "$SRC/$pkg" "$SRC/$pkg.tmp"
    mkdir -p "$SRC/$pkg.tmp"
    tar -xf "$orig" -C "$SRC/$pkg.tmp"
    mv "$SRC/$pkg.tmp"/* "$SRC/$pkg"
    rm -rf "$SRC/$pkg.tmp"
}
