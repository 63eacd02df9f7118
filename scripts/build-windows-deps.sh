#!/usr/bin/env bash
# Cross-builds Qt 5 (Core, Gui, the minimal and offscreen platform plugins) and jansson for
# Windows x86-64 with mingw-w64, from Debian's own source packages, into a cache directory.
# The prefix is keyed by the two source versions and the configure line, so a second run
# finds it and takes seconds. Prints the prefix on its last line.
#
#   scripts/build-windows-deps.sh          build (or find) the prefix
#   scripts/build-windows-deps.sh --find   print the prefix if it is built, else fail at once
#
#   KEELANR_DEPS_CACHE   cache directory (default /var/cache/keelanr)
#   KEELANR_JOBS         parallel jobs (default: the number of cores)
#
# Source packages come only from the machine's own Debian archive: a deb-src entry is derived
# from every enabled deb entry (same URIs, suites and components) when none exists yet.
set -euo pipefail

cache=${KEELANR_DEPS_CACHE:-/var/cache/keelanr}
jobs=${KEELANR_JOBS:-$(nproc)}
triple=x86_64-w64-mingw32
started=$(date +%s)
step() { echo "[windows deps $(($(date +%s) - started))s] $*"; }
sudo_if_needed() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

qt_configure=(-xplatform win32-g++ -device-option CROSS_COMPILE=${triple}- -release -shared
    -opensource -confirm-license -nomake examples -nomake tests -no-opengl -no-dbus -no-icu
    -no-fontconfig -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -qt-freetype -qt-harfbuzz
    -no-widgets -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib
    -no-feature-concurrent -no-feature-tabletevent)

enable_source_packages() {
    if apt-cache showsrc jansson 2>/dev/null | grep -q '^Version:'; then
        return
    fi
    step "deriving deb-src entries from the enabled apt sources"
    local out=/etc/apt/sources.list.d/keelanr-deb-src.sources
    python3 - "$out" <<'EOF' | sudo_if_needed tee "$out" >/dev/null
import glob, re, sys
stanzas = []
for path in glob.glob('/etc/apt/sources.list.d/*.sources'):
    if path == sys.argv[1]:
        continue
    for block in re.split(r'\n\s*\n', open(path).read()):
        fields = {}
        for line in block.splitlines():
            if line.startswith('#') or ':' not in line or line[0].isspace():
                continue
            key, value = line.split(':', 1)
            fields[key.strip()] = value.strip()
        if 'deb' in fields.get('Types', '').split() and fields.get('Enabled', 'yes') != 'no':
            stanzas.append(fields)
for path in ['/etc/apt/sources.list'] + glob.glob('/etc/apt/sources.list.d/*.list'):
    try:
        lines = open(path).read().splitlines()
    except OSError:
        continue
    for line in lines:
        words = line.split('#', 1)[0].split()
        if len(words) >= 3 and words[0] == 'deb':
            options = {}
            if words[1].startswith('['):
                while not words[1].endswith(']'):
                    words[1:3] = [words[1] + ' ' + words[2]]
                for option in words[1].strip('[]').split():
                    key, _, value = option.partition('=')
                    options[key] = value
                words.pop(1)
            fields = {'URIs': words[1], 'Suites': words[2], 'Components': ' '.join(words[3:])}
            if 'signed-by' in options:
                fields['Signed-By'] = options['signed-by']
            stanzas.append(fields)
for fields in stanzas:
    print('Types: deb-src')
    for key in ('URIs', 'Suites', 'Components', 'Signed-By'):
        if fields.get(key):
            print(f'{key}: {fields[key]}')
    print()
EOF
    for attempt in 1 2 3; do
        sudo_if_needed apt-get update -qq && break
        [[ $attempt -lt 3 ]] && sleep 20
    done
}

source_version() { apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -1; }

fetch_source() { # package version directory
    local package=$1 version=$2 into=$3
    if [[ ! -f $into/.unpacked ]]; then
        step "fetching the source package $package $version"
        rm -rf "$into" && mkdir -p "$into"
        (cd "$into" && apt-get source -qq "$package=$version" >/dev/null)
        touch "$into/.unpacked"
    fi
}

[[ ${1:-} == --find ]] || enable_source_packages
qt_version=$(source_version qtbase-opensource-src)
jansson_version=$(source_version jansson)
key=$(printf '%s\n' "$qt_version" "$jansson_version" "${qt_configure[*]}" | sha256sum | cut -c1-12)
prefix=$cache/mingw64-qt$qt_version-jansson$jansson_version-$key
prefix=${prefix//[:~+]/_}

if [[ -f $prefix/.complete ]]; then
    step "found $prefix"
    echo "$prefix"
    exit 0
fi
[[ ${1:-} == --find ]] && exit 1
step "building into $prefix (Qt $qt_version, jansson $jansson_version, $jobs jobs; the first build takes about half an hour)"
work=$cache/work-$key
sudo_if_needed mkdir -p "$cache"
sudo_if_needed chown "$(id -u):$(id -g)" "$cache"
mkdir -p "$work" "$prefix"

fetch_source jansson "$jansson_version" "$work/jansson-src"
step "building jansson"
cmake -S "$(ls -d "$work"/jansson-src/jansson-*/ | head -1)" -B "$work/jansson-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")/.." && pwd)/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DJANSSON_BUILD_DOCS=OFF \
    -DJANSSON_WITHOUT_TESTS=ON -DJANSSON_EXAMPLES=OFF -DJANSSON_BUILD_SHARED_LIBS=OFF >/dev/null
cmake --build "$work/jansson-build" --target install >/dev/null

fetch_source qtbase-opensource-src "$qt_version" "$work/qt-src"
qt_src=$(ls -d "$work"/qt-src/qtbase-opensource-src-*/ | head -1)
qt_build=$work/qt-build
if [[ ! -f $qt_build/.configured ]]; then
    step "configuring Qt (about 5 minutes)"
    rm -rf "$qt_build" && mkdir -p "$qt_build"
    (cd "$qt_build" && "$qt_src/configure" -prefix "$prefix" "${qt_configure[@]}" >configure.log 2>&1) ||
        { tail -40 "$qt_build/configure.log"; exit 1; }
    touch "$qt_build/.configured"
fi
# Only what the module, its tests and its demo need: Core, Gui, the platform support code,
# qtmain (Qt's CMake package insists on it) and the headless platform plugins.
if [[ ! -f $qt_build/src/Makefile ]]; then
    step "generating Qt's makefiles"
    make -s -C "$qt_build" sub-src-qmake_all >/dev/null 2>&1
fi
for target in sub-corelib sub-gui sub-platformsupport sub-winmain; do
    step "make -C src $target (corelib and gui take about 10 minutes each)"
    make -s -C "$qt_build/src" -j"$jobs" "$target" >/dev/null
done
make -s -C "$qt_build/src" sub-plugins-qmake_all >/dev/null
for plugin in minimal offscreen; do
    step "building the $plugin platform plugin"
    make -s -C "$qt_build/src/plugins/platforms/$plugin" -j"$jobs" >/dev/null
done

step "installing Qt"
make -s -C "$qt_build" sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs >/dev/null
for dir in src/corelib src/gui src/platformsupport src/winmain src/tools/bootstrap src/tools/moc \
    src/tools/rcc src/tools/uic src/plugins/platforms/minimal src/plugins/platforms/offscreen; do
    [[ -d $qt_build/$dir ]] && make -s -C "$qt_build/$dir" install >/dev/null
done
cp "$qt_build/bin/qt.conf" "$prefix/bin/" 2>/dev/null || true

# The mingw runtime the DLLs need, stripped (libstdc++ goes from about 24 MB to 2 MB).
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    found=$(${triple}-g++-posix -print-file-name="$dll")
    [[ -f $found ]] || found=$(find /usr/lib/gcc/$triple /usr/$triple -name "$dll" | grep -m1 posix || true)
    [[ -n $found && -f $found ]] && ${triple}-strip -o "$prefix/bin/$dll" "$found"
done
touch "$prefix/.complete"
# The sources and objects (about 1 GB) are kept only to resume a build cut short.
rm -rf "$work"
step "done"
echo "$prefix"
