#!/usr/bin/env bash
# Checks the installed application the way a user meets it.
#   check_install.sh tree   cmake --install into a scratch prefix; the layout, a real strip
#                           through the launcher on PATH, manual pages, desktop entry, AppStream
#   check_install.sh deb    cpack -G DEB; the package's fields, file list and lintian
# Settings come from the environment (see CMakeLists.txt beside this script).
set -euo pipefail

mode=${1:?usage: check_install.sh tree|deb}
work=$(mktemp -d "${TMPDIR:-/tmp}/cleftone-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { command -v "$1" >/dev/null || { echo "$1 is not installed; not checked"; false; }; }

programs=(cleftone-strip)
[ "$HAVE_GUI" = 1 ] && programs+=(cleftone)

# Exactly the files that must be installed, relative to the prefix; "deb" adds the package's own.
compare_listing() { # what, actual-file[, deb]
    {
        for p in "${programs[@]}"; do
            printf '%s\n' "$BIN_DIR/$p" "$PROGRAM_DIR/$p" "$DATA_DIR/man/man1/$p.1.gz"
        done
        printf '%s\n' "$PROGRAM_DIR/mp3val" "$DATA_DIR/bash-completion/completions/cleftone-strip" \
            "$DATA_DIR/doc/cleftone/copyright"
        [ "${3:-}" != deb ] || printf '%s\n' "$DATA_DIR/doc/cleftone/changelog.Debian.gz" \
            "$DATA_DIR/lintian/overrides/cleftone"
        [ "$HAVE_GUI" != 1 ] || printf '%s\n' "$DATA_DIR/applications/$BUNDLE_ID.desktop" \
            "$DATA_DIR/icons/hicolor/scalable/apps/$BUNDLE_ID.svg" \
            "$DATA_DIR/metainfo/$BUNDLE_ID.metainfo.xml"
    } | sort >"$work/expected.txt"
    diff -u "$work/expected.txt" "$2" >&2 || fail "$1 does not hold exactly the expected files"
}

check_tree() {
    local prefix=$work/prefix p out option real_mp3val
    export HOME=$work/home XDG_STATE_HOME=$work/home XDG_CONFIG_HOME=$work/home
    timeout 60 cmake --install "$BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; fail "cmake --install failed"; }
    local progdir=$prefix/$PROGRAM_DIR data=$prefix/$DATA_DIR
    (cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort) >"$work/actual.txt"
    compare_listing "the installed tree" "$work/actual.txt"

    # Relative launcher links, so that a staged or moved tree still works.
    for p in "${programs[@]}"; do
        [[ -L $prefix/$BIN_DIR/$p && $(readlink "$prefix/$BIN_DIR/$p") != /* &&
            $(readlink -f "$prefix/$BIN_DIR/$p") = "$progdir/$p" && ! -L $progdir/$p &&
            -x $progdir/$p ]] || fail "$BIN_DIR/$p is no relative link to the program"
        out=$(QT_QPA_PLATFORM=offscreen timeout 30 "$prefix/$BIN_DIR/$p" --version)
        [ "$out" = "$p $VERSION" ] || fail "$p --version says '$out'"
    done
    [ "$(readlink "$progdir/mp3val")" = "$SYSTEM_MP3VAL" ] || fail "$progdir/mp3val is wrong"
    real_mp3val=$(readlink -f "$progdir/mp3val")
    [ -x "$real_mp3val" ] || fail "$progdir/mp3val leads nowhere (is mp3val installed?)"

    # Every option is in the manual page and the completion; the pages render without warnings.
    local page
    page=$(MANWIDTH=80 man --warnings -l "$data/man/man1/cleftone-strip.1.gz" 2>"$work/man.err")
    for option in $("$prefix/$BIN_DIR/cleftone-strip" --help | grep -o -- '--[a-z][a-z-]*' |
        grep -vx -- --help-all | sort -u); do
        grep -qF -- "$option" <<<"$page" || fail "the manual page lacks $option"
        grep -qF -- "$option" "$data/bash-completion/completions/cleftone-strip" ||
            fail "the bash completion lacks $option"
    done
    for p in "${programs[@]}"; do
        MANWIDTH=80 man --warnings -l "$data/man/man1/$p.1.gz" 2>>"$work/man.err" |
            grep -q "^SYNOPSIS" || fail "man -l does not render $p.1.gz"
    done
    [ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "the manual pages give warnings"; }

    # A real strip from PATH, through a stand-in for the private mp3val that notes its use.
    local fixture=$FIXTURE_DIR/mp3_all_tags.mp3
    mkdir -p "$work/in" "$work/out"
    cp "$fixture" "$work/in/song.mp3"
    rm "$progdir/mp3val"
    printf '#!/bin/sh\ntouch "%s"\nexec "%s" "$@"\n' "$work/mp3val.used" "$real_mp3val" \
        >"$progdir/mp3val"
    chmod +x "$progdir/mp3val"
    (cd "$work" && PATH="$prefix/$BIN_DIR:$PATH" timeout 60 cleftone-strip --quiet \
        --output-dir out in/song.mp3) || fail "the installed cleftone-strip failed"
    [ -e "$work/mp3val.used" ] || fail "the installed program did not use $progdir/mp3val"
    cmp "$work/out/song.mp3" "$FIXTURE_DIR/ref/mp3_vbr.mp3" || fail "a tag survived or audio changed"
    cmp "$work/in/song.mp3" "$fixture" || fail "the input was changed by an --output-dir run"

    if [ "$HAVE_GUI" = 1 ]; then
        local desktop=$data/applications/$BUNDLE_ID.desktop
        check_desktop_files "$desktop" "$data/metainfo/$BUNDLE_ID.metainfo.xml" \
            "$data/icons/hicolor/scalable/apps/$BUNDLE_ID.svg"
        [ -L "$prefix/$BIN_DIR/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" ] ||
            fail "the desktop entry runs a program not installed in $BIN_DIR"
    else # nothing is installed for the window application; check what would be
        check_desktop_files "$CONFIGURED_DESKTOP_FILE" "$CONFIGURED_METAINFO_FILE" "$ICON_SOURCE"
    fi
}

check_desktop_files() { # desktop-file metainfo-file icon
    [ -s "$3" ] || fail "the icon $3 is missing"
    local desktop=$1 metainfo=$2 mime want
    grep -qx "Icon=$BUNDLE_ID" "$desktop" || fail "$desktop does not name the icon $BUNDLE_ID"
    # A misspelt MIME type is silently ignored by the desktop.
    for mime in $(sed -n 's/^MimeType=//p' "$desktop" | tr ';' ' '); do
        grep -qx "$mime" /usr/share/mime/types || fail "$desktop names the unknown $mime"
    done
    if has desktop-file-validate; then
        want=$(desktop-file-validate "$desktop" 2>&1 || true)
        ! grep -E ': (error|warning): ' <<<"$want" || fail "desktop-file-validate complains"
    fi
    for want in "<id>$BUNDLE_ID</id>" "<release version=\"$VERSION\"" \
        "<launchable type=\"desktop-id\">$BUNDLE_ID.desktop</launchable>"; do
        grep -qF "$want" "$metainfo" || fail "$metainfo lacks $want"
    done
    if has appstreamcli; then
        timeout 60 appstreamcli validate --no-net --no-color "$metainfo" >&2 ||
            fail "appstreamcli validate rejects $metainfo"
    fi
}

check_deb() {
    timeout 150 cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/pkg" \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
    local deb value p
    deb=$(echo "$work"/pkg/*.deb)
    [ -f "$deb" ] || fail "cpack made no single .deb: $deb"
    # mp3val is only run, never linked: it must be named; the libraries come from shlibdeps.
    value=$(dpkg-deb -f "$deb" Depends)
    for p in mp3val libqt6core6 libavformat; do
        [[ ",$value" =~ [,\ ]$p ]] || fail "Depends lacks $p: $value"
    done

    dpkg-deb -c "$deb" >"$work/contents.txt"
    awk '$1 !~ /^d/ { print $6 }' "$work/contents.txt" | sed 's|^\./usr/||' | sort \
        >"$work/actual.txt"
    compare_listing "the package" "$work/actual.txt" deb

    # Lintian also refuses programs that look into the build tree for libraries (RUNPATH).
    if has lintian; then
        timeout 240 lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1 ||
            { cat "$work/lintian.out" >&2; fail "lintian"; }
    fi
}

case $mode in
tree) check_tree ;;
deb) check_deb ;;
*) fail "unknown mode $mode" ;;
esac
echo "OK: $mode"
