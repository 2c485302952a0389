#!/usr/bin/env bash
# Checks the installed application the way a user meets it.
#
#   check_install.sh tree   cmake --install into a scratch prefix; the layout, a real strip
#                           through the launcher on PATH, the desktop entry and AppStream data
#   check_install.sh deb    cpack -G DEB; the package's fields and file list
#
# Settings come from the environment (see CMakeLists.txt beside this script).
set -euo pipefail

mode=${1:?usage: check_install.sh tree|deb}
for v in BUILD_DIR FIXTURE_DIR PROGRAM_DIR BIN_DIR DATA_DIR SYSTEM_MP3VAL BUNDLE_ID VERSION \
         HAVE_GUI CONFIGURED_DESKTOP_FILE CONFIGURED_METAINFO_FILE ICON_SOURCE; do
    [ -n "${!v:-}" ] || { echo "$v is not set" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/cleftone-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { command -v "$1" >/dev/null; }

programs=(cleftone-strip)
[ "$HAVE_GUI" = 1 ] && programs+=(cleftone)

# The files that must be installed, relative to the prefix, and nothing else; "deb" adds what
# only the package holds.
expected_files() {
    local p
    for p in "${programs[@]}"; do
        printf '%s\n' "$BIN_DIR/$p" "$PROGRAM_DIR/$p" "$DATA_DIR/man/man1/$p.1.gz"
    done
    printf '%s\n' "$PROGRAM_DIR/mp3val" "$DATA_DIR/bash-completion/completions/cleftone-strip" \
        "$DATA_DIR/doc/cleftone/copyright"
    [ "${1:-}" = deb ] && printf '%s\n' "$DATA_DIR/doc/cleftone/changelog.Debian.gz" \
        "$DATA_DIR/lintian/overrides/cleftone"
    [ "$HAVE_GUI" = 1 ] && printf '%s\n' "$DATA_DIR/applications/$BUNDLE_ID.desktop" \
        "$DATA_DIR/icons/hicolor/scalable/apps/$BUNDLE_ID.svg" \
        "$DATA_DIR/metainfo/$BUNDLE_ID.metainfo.xml"
    return 0
}

compare_listing() { # what, actual-file[, deb]
    expected_files "${3:-}" | sort >"$work/expected.txt"
    diff -u "$work/expected.txt" "$2" >&2 || fail "$1 does not hold exactly the expected files"
}

check_tree() {
    local prefix=$work/prefix
    timeout 60 cmake --install "$BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; fail "cmake --install failed"; }
    local progdir=$prefix/$PROGRAM_DIR

    (cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort) >"$work/actual.txt"
    compare_listing "the installed tree" "$work/actual.txt"

    # Launchers: relative links, so that a DESTDIR-staged or moved tree still works.
    local p link target
    for p in "${programs[@]}"; do
        link=$prefix/$BIN_DIR/$p
        [ -L "$link" ] || fail "$link is not a link"
        target=$(readlink "$link")
        [ "${target#/}" = "$target" ] || fail "$link points to the absolute path $target"
        [ "$(readlink -f "$link")" = "$(readlink -f "$progdir/$p")" ] ||
            fail "$link does not lead to $progdir/$p"
        [[ -f $progdir/$p && ! -L $progdir/$p && -x $progdir/$p ]] ||
            fail "$progdir/$p is not an executable file"
    done

    # The private mp3val link: the system's tool lies outside this prefix, so it is absolute.
    [ -L "$progdir/mp3val" ] || fail "$progdir/mp3val is not a link"
    [ "$(readlink "$progdir/mp3val")" = "$SYSTEM_MP3VAL" ] ||
        fail "$progdir/mp3val points to $(readlink "$progdir/mp3val"), not $SYSTEM_MP3VAL"
    local real_mp3val
    real_mp3val=$(readlink -f "$progdir/mp3val")
    [ -x "$real_mp3val" ] || fail "$progdir/mp3val leads nowhere (is mp3val installed?)"

    export HOME=$work/home XDG_STATE_HOME=$work/home/state XDG_CONFIG_HOME=$work/home/config
    mkdir -p "$HOME"

    local out
    for p in "${programs[@]}"; do
        out=$(QT_QPA_PLATFORM=offscreen timeout 30 "$prefix/$BIN_DIR/$p" --version) ||
            fail "$p --version failed"
        [ "$out" = "$p $VERSION" ] || fail "$p --version says '$out'"
    done

    # Every option of the tool is in its manual page and its completion; the pages render
    # without a warning.
    local options option page
    options=$(QT_QPA_PLATFORM=offscreen "$prefix/$BIN_DIR/cleftone-strip" --help |
        grep -o -- '--[a-z][a-z-]*' | grep -vx -- --help-all | sort -u)
    page=$(MANWIDTH=80 timeout 30 man --warnings -l \
        "$prefix/$DATA_DIR/man/man1/cleftone-strip.1.gz" 2>"$work/man.err")
    for option in $options; do
        grep -qF -- "$option" <<<"$page" || fail "the manual page lacks $option"
        (cd "$work" && bash -c 'source "$1"; COMP_WORDS=(cleftone-strip "$2"); COMP_CWORD=1
            _cleftone_strip; printf "%s\n" "${COMPREPLY[@]}"' _ \
            "$prefix/$DATA_DIR/bash-completion/completions/cleftone-strip" "${option:0:4}") |
            grep -qx -- "$option" || fail "the bash completion does not offer $option"
    done
    for p in "${programs[@]}"; do
        MANWIDTH=80 timeout 30 man --warnings -l "$prefix/$DATA_DIR/man/man1/$p.1.gz" \
            2>>"$work/man.err" | grep -q "^SYNOPSIS" || fail "man -l does not render $p.1.gz"
    done
    [ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "the manual pages give warnings"; }

    # A real strip, started by name from PATH as a desktop session does, through an mp3val that
    # notes its arguments in place of the private link: every tag gone, the audio untouched.
    local fixture=$FIXTURE_DIR/mp3_all_tags.mp3 reference=$FIXTURE_DIR/ref/mp3_vbr.mp3
    mkdir -p "$work/in" "$work/out"
    cp "$fixture" "$work/in/song.mp3"
    rm "$progdir/mp3val"
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"%s"\nexec "%s" "$@"\n' \
        "$work/mp3val.args" "$real_mp3val" >"$progdir/mp3val"
    chmod +x "$progdir/mp3val"
    (cd "$work" && PATH="$prefix/$BIN_DIR:$PATH" timeout 60 cleftone-strip --quiet \
        --output-dir out in/song.mp3) 2>"$work/strip.err" ||
        { cat "$work/strip.err" >&2; fail "the installed cleftone-strip failed"; }
    # The program reports a missing or unstartable mp3val on standard error.
    ! grep -q mp3val "$work/strip.err" ||
        { cat "$work/strip.err" >&2; fail "the installed cleftone-strip could not run mp3val"; }
    [ -s "$work/mp3val.args" ] ||
        fail "the program run through $BIN_DIR/cleftone-strip did not use $progdir/mp3val"
    [[ $(head -n 3 "$work/mp3val.args" | tr '\n' ' ') == "-f -nb -si " &&
        $(wc -l <"$work/mp3val.args") -eq 4 ]] ||
        fail "mp3val was run as: $(tr '\n' ' ' <"$work/mp3val.args")"
    cmp "$work/out/song.mp3" "$reference" ||
        fail "the stripped MP3 is not the tag-free stream (a tag survived or audio changed)"
    cmp "$work/in/song.mp3" "$fixture" || fail "the input was changed by an --output-dir run"

    if [ "$HAVE_GUI" = 1 ]; then
        check_desktop_files "$prefix/$DATA_DIR/applications/$BUNDLE_ID.desktop" \
            "$prefix/$DATA_DIR/metainfo/$BUNDLE_ID.metainfo.xml" \
            "$prefix/$DATA_DIR/icons/hicolor/scalable/apps/$BUNDLE_ID.svg"
        local exec_program
        exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' \
            "$prefix/$DATA_DIR/applications/$BUNDLE_ID.desktop")
        [ -L "$prefix/$BIN_DIR/$exec_program" ] ||
            fail "the desktop entry runs '$exec_program', which is not installed in $BIN_DIR"
    else
        # Without the window application nothing is installed for it; check what would be.
        check_desktop_files "$CONFIGURED_DESKTOP_FILE" "$CONFIGURED_METAINFO_FILE" "$ICON_SOURCE"
    fi
}

check_desktop_files() { # desktop-file metainfo-file icon
    local desktop=$1 metainfo=$2 icon=$3
    grep -qx "Icon=$BUNDLE_ID" "$desktop" || fail "$desktop does not name the icon $BUNDLE_ID"
    # A misspelt MIME type is silently ignored by the desktop: check each against the database.
    local mime
    if [ -r /usr/share/mime/types ]; then
        for mime in $(sed -n 's/^MimeType=//p' "$desktop" | tr ';' ' '); do
            grep -qx "$mime" /usr/share/mime/types ||
                fail "$desktop names $mime, which shared-mime-info does not know"
        done
    fi
    if has desktop-file-validate; then
        # Hints pass: the entry deliberately sits in both AudioVideo and Utility.
        timeout 30 desktop-file-validate "$desktop" >"$work/dfv.out" 2>&1 || true
        cat "$work/dfv.out"
        ! grep -Eq ': (error|warning): ' "$work/dfv.out" ||
            fail "desktop-file-validate complains about $desktop"
    else
        echo "desktop-file-validate is not installed; desktop entry not validated"
    fi

    local want
    for want in "<id>$BUNDLE_ID</id>" "<release version=\"$VERSION\"" \
        "<launchable type=\"desktop-id\">$BUNDLE_ID.desktop</launchable>"; do
        grep -qF "$want" "$metainfo" || fail "$metainfo lacks $want"
    done
    if has appstreamcli; then
        timeout 60 appstreamcli validate --no-net --no-color "$metainfo" >"$work/asv.out" 2>&1 ||
            { cat "$work/asv.out" >&2; fail "appstreamcli validate rejects $metainfo"; }
    else
        echo "appstreamcli is not installed; AppStream data not validated"
    fi

    python3 - "$icon" <<'EOF' || fail "$icon is not a usable SVG icon"
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == "{http://www.w3.org/2000/svg}svg", root.tag
box = [float(v) for v in root.get("viewBox", "").split()]
assert len(box) == 4 and box[2] == box[3] > 0, box  # square, or the panel squashes it
EOF
}

check_deb() {
    timeout 150 cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/pkg" \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
    local debs=("$work"/pkg/*.deb)
    [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single .deb: ${debs[*]}"
    local deb=${debs[0]}

    local field value
    for field in Package:cleftone Version:$VERSION-1 Section:sound; do
        value=$(dpkg-deb -f "$deb" "${field%%:*}")
        [ "$value" = "${field#*:}" ] || fail "${field%%:*} is '$value', not '${field#*:}'"
    done
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    # mp3val is only run, never linked: it must be named; the libraries come from shlibdeps.
    for value in mp3val libqt6core6 libavformat; do
        [[ ",$depends" =~ [,\ ]$value ]] || fail "Depends lacks $value: $depends"
    done

    # The file list is the installed tree under /usr.
    dpkg-deb -c "$deb" >"$work/contents.txt"
    awk '$1 !~ /^d/ { print $6 }' "$work/contents.txt" | sed 's|^\./usr/||' | sort \
        >"$work/actual.txt"
    compare_listing "the package" "$work/actual.txt" deb

    local p want
    for p in "${programs[@]}"; do
        want=$(realpath -m --relative-to="/usr/$BIN_DIR" "/usr/$PROGRAM_DIR/$p")
        grep -q " \./usr/$BIN_DIR/$p -> $want\$" "$work/contents.txt" ||
            fail "/usr/$BIN_DIR/$p is not a link to $want"
    done
    want=$SYSTEM_MP3VAL
    [ "${SYSTEM_MP3VAL#/usr/}" = "$SYSTEM_MP3VAL" ] ||
        want=$(realpath -m --relative-to="/usr/$PROGRAM_DIR" "$SYSTEM_MP3VAL")
    grep -q " \./usr/$PROGRAM_DIR/mp3val -> $want\$" "$work/contents.txt" ||
        fail "/usr/$PROGRAM_DIR/mp3val is not a link to $want"

    if has lintian; then
        timeout 240 lintian --fail-on error,warning \
            "$deb" >"$work/lintian.out" 2>&1 || { cat "$work/lintian.out" >&2; fail "lintian"; }
    else
        echo "lintian is not installed; the package is not checked against Debian policy"
    fi

    # The packed programs must not look into the build tree for libraries.
    dpkg-deb -x "$deb" "$work/root"
    for p in "${programs[@]}"; do
        if LC_ALL=C readelf -d "$work/root/usr/$PROGRAM_DIR/$p" | grep -Eq 'RPATH|RUNPATH'; then
            fail "/usr/$PROGRAM_DIR/$p carries a library search path"
        fi
    done
}

case $mode in
tree) check_tree ;;
deb) check_deb ;;
*) fail "unknown mode $mode" ;;
esac
echo "OK: $mode"
