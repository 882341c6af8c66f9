#!/usr/bin/env bash
# The Debian packages as a user who never saw the source meets them: built by
# CPack from the build folder, tarnel-cli unpacked with dpkg-deb into a scratch
# root and run from there alone with a fresh home folder, then tarnel (the
# window) unpacked over it.
#
#   package_test.sh <build folder> <1 when the window is built, else 0>
set -euo pipefail
build=$(realpath "$1")
gui=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "package"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack did not build the packages"; }
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
cli_deb=$scratch/pkg/tarnel-cli_${version}_${arch}.deb
gui_deb=$scratch/pkg/tarnel_${version}_${arch}.deb
expected_debs=("$cli_deb")
[ "$gui" = 1 ] && expected_debs+=("$gui_deb")
[ "$(find "$scratch/pkg" -maxdepth 1 -name '*.deb' | sort)" = "$(printf '%s\n' "${expected_debs[@]}" | sort)" ] ||
  fail "expected ${expected_debs[*]##*/}, got: $(find "$scratch/pkg" -maxdepth 1 -name '*.deb' -printf '%f ')"

for deb in "${expected_debs[@]}"; do
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb"): version $(dpkg-deb -f "$deb" Version)"
  [ "$(dpkg-deb -f "$deb" Section)" = devel ] || fail "$(basename "$deb"): section is not devel"
  depends=$(dpkg-deb -f "$deb" Depends)
  for needed in libssl3 libc6; do
    [[ $depends == *"$needed"* ]] || fail "$(basename "$deb"): Depends lacks '$needed': $depends"
  done
  [[ $depends != *java* && $depends != *signapk* ]] || fail "$(basename "$deb"): Depends needs Java: $depends"
  suggests=$(dpkg-deb -f "$deb" Suggests)
  for wanted in "default-jre-headless | java-runtime-headless" signapk; do
    [[ $suggests == *"$wanted"* ]] || fail "$(basename "$deb"): Suggests lacks '$wanted': $suggests"
  done
  [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2 ] || fail "$(basename "$deb"): no long description"
done
# The command line must install on a machine without Qt, OpenGL or X.
headless_pattern='qt|libgl|libopengl|libegl|libx11|libxcb|libxkb|libfontconfig|libfreetype'
cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
! grep -qiE "$headless_pattern" <<<"$cli_depends" || fail "tarnel-cli depends on a graphics library: $cli_depends"
if [ "$gui" = 1 ]; then
  gui_depends=$(dpkg-deb -f "$gui_deb" Depends)
  [[ ", $gui_depends," == *", tarnel-cli (= $version),"* ]] ||
    fail "tarnel does not depend on tarnel-cli (= $version): $gui_depends"
  [[ $gui_depends == *libqt6widgets6* ]] || fail "tarnel does not depend on Qt Widgets: $gui_depends"
fi

step "lintian"
lintian --fail-on error,warning "${expected_debs[@]}" >"$scratch/lintian.log" 2>&1 ||
  { cat "$scratch/lintian.log" >&2; fail "lintian reports errors or warnings"; }

step "files, each in its package"
# Files (not folders) per package, as paths without the leading "./".
package_files() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||' | sort; }
package_files "$cli_deb" >"$scratch/cli.files"
cli_expected=(usr/bin/tarnel-cli usr/share/tarnel/Config/FlashConfig.xml usr/share/tarnel/Config/signapk.jar
  usr/share/tarnel/jre usr/share/tarnel/BurnConfig.ini usr/share/man/man1/tarnel-cli.1.gz
  usr/share/bash-completion/completions/tarnel-cli usr/share/doc/tarnel-cli/README.md
  usr/share/doc/tarnel-cli/cli.md usr/share/doc/tarnel-cli/copyright usr/share/doc/tarnel-cli/changelog.gz
  usr/share/lintian/overrides/tarnel-cli)
[ "$(printf '%s\n' "${cli_expected[@]}" | sort)" = "$(cat "$scratch/cli.files")" ] ||
  fail "tarnel-cli holds: $(xargs <"$scratch/cli.files"), expected: ${cli_expected[*]}"
if [ "$gui" = 1 ]; then
  package_files "$gui_deb" >"$scratch/gui.files"
  gui_expected=(usr/bin/tarnel usr/share/applications/tarnel.desktop usr/share/man/man1/tarnel.1.gz
    usr/share/doc/tarnel/copyright usr/share/doc/tarnel/changelog.gz)
  for size in 16 22 24 32 48 64 128 256; do gui_expected+=("usr/share/icons/hicolor/${size}x${size}/apps/tarnel.png"); done
  [ "$(printf '%s\n' "${gui_expected[@]}" | sort)" = "$(cat "$scratch/gui.files")" ] ||
    fail "tarnel holds: $(xargs <"$scratch/gui.files"), expected: ${gui_expected[*]}"
fi

step "unpack tarnel-cli alone"
root=$scratch/root
dpkg-deb -x "$cli_deb" "$root"
cli=$root/usr/bin/tarnel-cli
needed=$(readelf -d "$cli" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)
! grep -qiE "$headless_pattern" <<<"$needed" || fail "tarnel-cli loads a graphics library: $needed"
[ "$("$cli" --version)" = "tarnel-cli $version" ] || fail "tarnel-cli --version says '$("$cli" --version)', the package $version"

step "first start: demo and both make commands"
export HOME=$scratch/home XDG_DATA_HOME=$scratch/data
mkdir -p "$HOME"
cd "$scratch"
"$cli" demo ws >demo.out || fail "tarnel-cli demo"
mapfile -t commands < <(grep -A1 '^Sign for' demo.out | grep '^  ')
[ ${#commands[@]} -eq 2 ] || fail "demo printed ${#commands[@]} make commands"
for command in "${commands[@]}"; do
  read -ra argv <<<"$command"
  [ "${argv[0]}" = "$cli" ] || fail "demo's command does not start with $cli: $command"
  "${argv[@]}" 2>run.err || { cat run.err >&2; fail "make failed: $command"; }
  last=$(tail -n 1 run.err)
  [[ $last == "All files signed successfully!" || $last == "Generate release package successfully!" ]] ||
    fail "make ended with '$last'"
done

home=$XDG_DATA_HOME/tarnel
template=$root/usr/share/tarnel
cmp -s "$home/Config/FlashConfig.xml" "$template/Config/FlashConfig.xml" || fail "Config/FlashConfig.xml is not a copy"
cmp -s "$home/BurnConfig.ini" "$template/BurnConfig.ini" || fail "BurnConfig.ini is not a copy"
[ ! -L "$home/Config/FlashConfig.xml" ] && [ ! -L "$home/BurnConfig.ini" ] || fail "the editable files are links"
for link in Config/signapk.jar jre; do
  [ -L "$home/$link" ] || fail "$link is not a link"
  [ "$(readlink "$home/$link")" = "$(readlink "$template/$link")" ] ||
    fail "$link points at $(readlink "$home/$link"), the system's is $(readlink "$template/$link")"
done
[ -z "$(find "$XDG_DATA_HOME" -mindepth 1 -maxdepth 1 ! -name tarnel)" ] || fail "left-overs beside the program folder"

step "second start leaves the per-user folder alone"
echo "<!-- edited by the user -->" >>"$home/Config/FlashConfig.xml"
sed -i 's/^Memory=.*/Memory=768/' "$home/BurnConfig.ini"
snapshot() { (cd "$home" && find . -path ./Temp -prune -o -path ./Output -prune -o -printf '%p %y %l\n' | sort &&
  md5sum Config/FlashConfig.xml BurnConfig.ini); }
before=$(snapshot)
read -ra argv <<<"${commands[1]}"
"${argv[@]}" 2>run.err || { cat run.err >&2; fail "second make failed"; }
[ "$(snapshot)" = "$before" ] || fail "the second start changed the per-user folder"

step "without Java the upgrade archive is signed natively"
rm "$home/jre"
"${argv[@]}" 2>run.err || { cat run.err >&2; fail "make without jre failed"; }

step "a damaged per-user folder gets the start-up message when Java signs"
status=0
"${argv[@]}" --archive-signer java 2>run.err || status=$?
[ $status -eq 1 ] || fail "make with no jre exited $status"
grep -qxF "\"${home}/jre\" not find!" run.err || fail "no start-up message for the missing jre: $(cat run.err)"
[ ! -e "$home/jre" ] && [ ! -L "$home/jre" ] || fail "the damaged folder was repaired behind the user's back"

step "without XDG_DATA_HOME the folder is ~/.local/share/tarnel"
unset XDG_DATA_HOME
HOME=$scratch/home2
mkdir -p "$HOME"
status=0
"$cli" make --board 2 --config "$scratch/none.xml" --keys '' --output "$scratch" 2>run.err || status=$?
[ $status -eq 1 ] || fail "make with a missing table exited $status"
[ -f "$HOME/.local/share/tarnel/Config/FlashConfig.xml" ] || fail "no program folder under ~/.local/share"

if [ "$gui" = 1 ]; then
  step "tarnel unpacked over tarnel-cli: the window starts from a per-user folder of its own"
  dpkg-deb -x "$gui_deb" "$root"
  export XDG_DATA_HOME=$scratch/gui-data XDG_RUNTIME_DIR=$scratch/run QT_QPA_PLATFORM=offscreen
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  "$root/usr/bin/tarnel" >gui.log 2>&1 &
  pid=$!
  # Temp/ is made by the window once it has found Config/ and jre.
  for _ in $(seq 100); do
    [ -d "$XDG_DATA_HOME/tarnel/Temp" ] && break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  [ -d "$XDG_DATA_HOME/tarnel/Temp" ] && [ -L "$XDG_DATA_HOME/tarnel/jre" ] ||
    { cat gui.log >&2; fail "the desktop program did not start from $XDG_DATA_HOME/tarnel/"; }
fi

step "desktop entry, manual pages, completion"
if [ "$gui" = 1 ]; then
  desktop-file-validate "$root/usr/share/applications/tarnel.desktop" || fail "desktop-file-validate"
fi
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man cannot render $page"
  [ -z "$warnings" ] || fail "$page renders with warnings: $warnings"
done
bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" && complete -p tarnel-cli' _ \
  "$root/usr/share/bash-completion/completions/tarnel-cli" >/dev/null || fail "the completion does not load"

echo "packages ${expected_debs[*]##*/} install and run"
