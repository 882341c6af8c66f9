#!/usr/bin/env bash
# The Debian package as a user who never saw the source meets it: built by
# CPack from the build folder, unpacked with dpkg-deb into a scratch root, and
# run from there with a fresh home folder.
#
#   package_test.sh <build folder>
set -euo pipefail
build=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "package"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack did not build the package"; }
debs=("$scratch"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "tarnel_${version}_$(dpkg --print-architecture).deb" ] || fail "package name $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Section)" = devel ] || fail "section is not devel"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libssl3 libc6; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks '$needed': $depends"
done
[[ $depends != *java* && $depends != *signapk* ]] || fail "Depends still needs Java: $depends"
suggests=$(dpkg-deb -f "$deb" Suggests)
for wanted in "default-jre-headless | java-runtime-headless" signapk; do
  [[ $suggests == *"$wanted"* ]] || fail "Suggests lacks '$wanted': $suggests"
done
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2 ] || fail "no long description"

step "lintian"
lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || { cat "$scratch/lintian.log" >&2; fail "lintian reports errors"; }

step "unpack"
root=$scratch/root
dpkg-deb -x "$deb" "$root"
cli=$root/usr/bin/tarnel-cli
gui=0
[ -e "$root/usr/bin/tarnel" ] && gui=1
expected=(usr/bin/tarnel-cli usr/share/tarnel/Config/FlashConfig.xml usr/share/tarnel/Config/signapk.jar
  usr/share/tarnel/jre usr/share/tarnel/BurnConfig.ini usr/share/man/man1/tarnel-cli.1.gz
  usr/share/bash-completion/completions/tarnel-cli usr/share/doc/tarnel/README.md usr/share/doc/tarnel/copyright
  usr/share/doc/tarnel/changelog.gz)
if [ $gui -eq 1 ]; then
  expected+=(usr/share/applications/tarnel.desktop usr/share/man/man1/tarnel.1.gz)
  for size in 16 32 48 64 128 256; do expected+=("usr/share/icons/hicolor/${size}x${size}/apps/tarnel.png"); done
fi
for path in "${expected[@]}"; do
  [ -e "$root/$path" ] || [ -L "$root/$path" ] || fail "the package lacks /$path"
done
programs=$(find "$root/usr/bin" -mindepth 1 -printf '%f\n' | sort | xargs)
[ "$programs" = "tarnel tarnel-cli" ] || [ "$programs" = "tarnel-cli" ] || fail "unexpected programs: $programs"
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

if [ $gui -eq 1 ]; then
  step "the desktop program starts from a per-user folder of its own"
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
if [ $gui -eq 1 ]; then
  desktop-file-validate "$root/usr/share/applications/tarnel.desktop" || fail "desktop-file-validate"
fi
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man cannot render $page"
  [ -z "$warnings" ] || fail "$page renders with warnings: $warnings"
done
bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" && complete -p tarnel-cli' _ \
  "$root/usr/share/bash-completion/completions/tarnel-cli" >/dev/null || fail "the completion does not load"

echo "package $(basename "$deb") installs and runs"
