#!/usr/bin/env bash
# Signed releases of the sample title, one case per call:
#   release_test.sh CASE SOURCE_DIR WORK_DIR HOST_BIN DEMO_DRIVER SAMPLE_DIR
# pki        a throwaway CA and code-signing certificate (never kept in the tree)
# release    scripts/release of the sample title, signed with them
# signatures each exe verifies against the CA (and not against the system's roots),
#            and is the linked image with only a certificate table appended
# tampered   one changed byte inside the payload fails the verification
# sums       SHA256SUMS checks and lists every file of the folder
# runs       the signed x64 exe updates the sample installation under Wine
# refusals   a wrong password, a timestamp server that does not answer or a
#            missing certificate stops the release with a message that names
#            it, and leaves no exe behind (and no release folder, where an
#            earlier release was)
# folders    an --out or --work that is not the release's own, or one inside
#            the other, stops it before it touches anything
# readme     the README's release command, exactly as written, in a fresh copy
#            of the source tree
# patched    scripts/release of the sample title with its older installation as
#            a base prints each file's whole and patch size, the patch the one
#            payloadtool diff makes, and the exe carries that patch
set -u
case_name=${1:?case}
src=${2:?source dir}
dir=${3:?work dir}
host_bin=${4:?host tools}
driver=${5:?demo driver}
sample=${6:?sample dir}
pki="$dir/pki"
out="$dir/out"
work="$dir/work"
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

# Signing settings for scripts/release: the throwaway PKCS#12 and its password,
# and none from the caller's environment.
unset UPDATER_SIGN_PKCS12 UPDATER_SIGN_CERTS UPDATER_SIGN_KEY UPDATER_SIGN_PASSWORD_FILE UPDATER_SIGN_TIMESTAMP_URL \
  UPDATER_SIGN_URL UPDATER_SIGN_DESCRIPTION UPDATER_SIGN_CA_FILE
signed_env=(UPDATER_SIGN_PKCS12="$pki/signer.p12" UPDATER_SIGN_PASSWORD_FILE="$pki/password.txt"
            UPDATER_SIGN_CA_FILE="$pki/ca.pem")

# Offsets of the PE checksum and of the security directory entry, from the headers.
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
signing_fields() {
  local pe optional
  pe=$(u32 "$1" 60)
  optional=$((pe + 24))
  checksum_at=$((optional + 64))
  if [ "$(u16 "$1" "$optional")" = 523 ]; then  # PE32+
    security_at=$((optional + 112 + 4 * 8))
  else
    security_at=$((optional + 96 + 4 * 8))
  fi
}

case "$case_name" in
pki)
  rm -rf "$pki"
  mkdir -p "$pki"
  cd "$pki" || exit 1
  printf 'throwaway pass\n' >password.txt
  printf 'not the password\n' >wrong-password.txt
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Release Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null || fail "CA"
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Release Test Maker" \
    2>/dev/null || fail "signer request"
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext.cnf
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext.cnf \
    -out signer.pem 2>/dev/null || fail "signer certificate"
  openssl pkcs12 -export -out signer.p12 -inkey signer.key -in signer.pem -certfile ca.pem \
    -passout file:password.txt || fail "PKCS#12"
  # The same key as PEM, encrypted, with its chain: the other form a maker may have.
  openssl pkey -in signer.key -aes256 -passout file:password.txt -out signer-encrypted.key || fail "PEM key"
  cat signer.pem ca.pem >chain.pem
  rm -f signer.key ca.key
  ;;

release)
  rm -rf "$out" "$work"
  env "${signed_env[@]}" "$src/scripts/release" "$src/profiles/sample" --host-tools "$host_bin" \
    --out "$out" --work "$work" || fail "scripts/release failed"
  for bits in 64bit 32bit; do
    [ -f "$out/TumbleTrainUpdate-$bits.exe" ] || fail "no TumbleTrainUpdate-$bits.exe in $out"
  done
  ;;

signatures)
  for entry in "x64 64bit" "x86 32bit"; do
    read -r arch bits <<<"$entry"
    exe="$out/TumbleTrainUpdate-$bits.exe"
    unsigned="$work/$arch/generated/updater/unsigned.exe"
    log=$(osslsigncode verify -CAfile "$pki/ca.pem" -in "$exe" 2>&1) || fail "$bits: does not verify: $log"
    grep -q 'Text description: Tumble Train$' <<<"$log" || fail "$bits: description is not the title: $log"
    grep -q 'Message digest algorithm *: SHA256' <<<"$log" || fail "$bits: not SHA-256"
    # The chain matters: the system's roots do not know the throwaway CA.
    osslsigncode verify -CAfile /etc/ssl/certs/ca-certificates.crt -in "$exe" >/dev/null 2>&1 &&
      fail "$bits: verified against roots that never issued its certificate"
    "$host_bin/signcheck" checksum "$exe" || fail "$bits: PE checksum"
    # Only the checksum and the security entry may differ within the linked image.
    size=$(stat -c %s "$unsigned")
    [ "$(stat -c %s "$exe")" -gt "$size" ] || fail "$bits: nothing appended"
    signing_fields "$unsigned"
    changed=$(cmp -l -n "$size" "$unsigned" "$exe" | awk '{print $1 - 1}')
    [ -n "$changed" ] || fail "$bits: no header field changed"
    for at in $changed; do
      if ! { [ "$at" -ge "$checksum_at" ] && [ "$at" -lt $((checksum_at + 4)) ]; } &&
         ! { [ "$at" -ge "$security_at" ] && [ "$at" -lt $((security_at + 8)) ]; }; then
        fail "$bits: byte $at of the linked image changed"
        break
      fi
    done
  done
  ;;

tampered)
  copy="$dir/tampered.exe"
  cp "$out/TumbleTrainUpdate-64bit.exe" "$copy"
  # The payload's main program is carried byte for byte: change one in its middle.
  perl -e '
    local $/; open(my $p, "<:raw", $ARGV[0]) or die; my $payload = <$p>;
    open(my $e, "+<:raw", $ARGV[1]) or die; my $exe = <$e>;
    my $at = index($exe, $payload); die "payload not found\n" if $at < 0;
    $at += int(length($payload) / 2);
    seek($e, $at, 0); print $e chr(ord(substr($exe, $at, 1)) ^ 1); close $e;
  ' "$work/x64/sample/new/TumbleTrain.exe" "$copy" || fail "could not change the payload"
  log=$(osslsigncode verify -CAfile "$pki/ca.pem" -in "$copy" 2>&1) && fail "a changed payload still verifies"
  grep -q MISMATCH <<<"$log" || fail "the verification did not name the changed digest: $log"
  ;;

sums)
  cd "$out" || exit 1
  sha256sum -c SHA256SUMS || fail "sha256sum -c"
  listed=$(sed 's/^[0-9a-f]* [ *]//' SHA256SUMS | sort)
  present=$(find . -type f ! -name SHA256SUMS -printf '%P\n' | sort)
  [ "$listed" = "$present" ] || fail "SHA256SUMS lists [$listed], the folder holds [$present]"
  ;;

runs)
  # Wine would otherwise make a prefix in the home folder and run without a display.
  [ -n "${WINEPREFIX:-}" ] && [ -n "${DISPLAY:-}" ] || { echo "run under scripts/wine-env.sh (scripts/test)"; exit 1; }
  install="$dir/install"
  rm -rf "$install"
  mkdir -p "$install"
  cp -r "$sample/old/." "$install/"
  settings_win=$(wine "$driver" settings KAZETOU TumbleTrain "$(winepath -w "$install")" | tr -d '\r')
  report="$dir/run-report.txt"
  rm -f "$report"
  wine "$driver" run "$(winepath -w "$out/TumbleTrainUpdate-64bit.exe")" --report "$(winepath -w "$report")" \
    --auto >/dev/null 2>&1
  cat "$report"
  grep -q '^Exit code: 0$' "$report" || fail "the signed updater did not end with 0"
  for file in TumbleTrain.exe dll/RESOURCE.dll; do
    cmp -s "$install/$file" "$sample/new/$file" || fail "$file is not the new one"
  done
  "$host_bin/recordlib" verify "$install/dll/RESOURCE.dll" --install "$install" --main TumbleTrain.exe ||
    fail "the updated installation does not verify"
  settings=$(winepath -u "$settings_win")
  rm -f "${settings/\/dosdevices\/c:\//\/drive_c\/}"
  ;;

refusals)
  refuse_out="$dir/refused"
  refuse_work="$dir/refused-work"
  rm -rf "$refuse_out" "$refuse_work"
  # name | environment | what the message must name
  cases=(
    "wrong password|UPDATER_SIGN_PKCS12=$pki/signer.p12 UPDATER_SIGN_PASSWORD_FILE=$pki/wrong-password.txt|the password in $pki/wrong-password.txt .*does not open"
    "wrong password for a PEM key, at a terminal|UPDATER_SIGN_CERTS=$pki/chain.pem UPDATER_SIGN_KEY=$pki/signer-encrypted.key UPDATER_SIGN_PASSWORD_FILE=$pki/wrong-password.txt|does not open the key $pki/signer-encrypted.key"
    "timestamp server not answering|UPDATER_SIGN_PKCS12=$pki/signer.p12 UPDATER_SIGN_PASSWORD_FILE=$pki/password.txt UPDATER_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/|the timestamp server http://127.0.0.1:9/ (UPDATER_SIGN_TIMESTAMP_URL) did not answer"
    "missing certificate|UPDATER_SIGN_PKCS12=$pki/missing.p12 UPDATER_SIGN_PASSWORD_FILE=$pki/password.txt|UPDATER_SIGN_PKCS12 names $pki/missing.p12, which does not exist"
  )
  for row in "${cases[@]}"; do
    IFS='|' read -r name settings expected <<<"$row"
    echo "== $name"
    # An earlier release, which a failed one removes.
    mkdir -p "$refuse_out"
    touch "$refuse_out/.updater-release" "$refuse_out/stale-release-file"
    command="env $settings '$src/scripts/release' '$src/profiles/sample' --host-tools '$host_bin' --out '$refuse_out' --work '$refuse_work'"
    # At a terminal a key whose password fails would be asked for again: the build must not wait.
    log=$(timeout 300 script -qec "$command" /dev/null 2>&1)
    code=$?
    [ "$code" = 124 ] && fail "$name: the release waited (for a password?)"
    grep -q 'release: FAILED' <<<"$log" || fail "$name: the release did not fail loudly (exit $code)"
    # CMake wraps its messages: compare with the line breaks taken out.
    flat=$(tr -d '\r' <<<"$log" | tr '\n' ' ' | tr -s ' ')
    grep -q -- "$expected" <<<"$flat" || { echo "$log"; fail "$name: the message does not name the problem"; }
    [ -e "$refuse_out" ] && fail "$name: $refuse_out exists after a failed release"
    [ -e "$refuse_out.partial" ] && fail "$name: $refuse_out.partial was left"
    left=$(find "$refuse_work" -name '*.exe' -path '*/bin/*' -o -name '*.signing' 2>/dev/null)
    [ -z "$left" ] || fail "$name: left behind: $left"
  done
  ;;

folders)
  base=$(realpath -m "$dir/folders")
  # name | what is there before | options | what the refusal says (from "release: FAILED: ")
  rows=(
    "--out names a folder of other files|mkdir desk && echo keep >desk/notes.txt|--out desk --work work|--out $base/desk exists and was not made by scripts/release (it has no .updater-release)"
    "--out names a file|echo keep >notes.txt|--out notes.txt --work work|--out $base/notes.txt exists and was not made by scripts/release"
    "a folder beside --out under the name of its unfinished release|mkdir rel.partial && echo keep >rel.partial/notes.txt|--out rel --work work|$base/rel.partial (where the release is put together, beside --out) exists and was not made by scripts/release"
    "--work names a folder of other files|mkdir build && echo keep >build/notes.txt|--out rel --work build|--work $base/build exists and was not made by scripts/release (it has no .updater-release-work)"
    "--work inside an earlier release|mkdir rel && touch rel/.updater-release && echo keep >rel/notes.txt|--out rel --work rel/work|--work $base/rel/work lies inside --out $base/rel"
    "--work inside --out through a link|mkdir rel && touch rel/.updater-release && ln -s rel link|--out rel --work link/work|--work $base/rel/work lies inside --out $base/rel"
    "--work the same as --out|:|--out same --work same/.|--work $base/same lies inside --out $base/same"
    "--out inside --work|mkdir work && touch work/.updater-release-work && echo keep >work/notes.txt|--out work/rel --work work|--out $base/work/rel lies inside --work $base/work"
    "--work where the release is put together|:|--out rel --work rel.partial|--work $base/rel.partial lies inside $base/rel.partial"
    "--host-tools inside --work|mkdir -p work/tools && touch work/.updater-release-work work/tools/recordlib|--out rel --work work --host-tools work/tools|the --host-tools folder $base/work/tools lies inside --work $base/work"
  )
  # Every name, kind, link target and content under the base folder.
  snapshot() {
    (cd "$base" && find . -printf '%p %y %l\n' | LC_ALL=C sort && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
  }
  for row in "${rows[@]}"; do
    IFS='|' read -r name before options expected <<<"$row"
    echo "== $name"
    rm -rf "$base"
    mkdir -p "$base"
    (cd "$base" && eval "$before") || fail "$name: could not prepare the folders"
    was=$(snapshot)
    # Host tools that do not exist (unless the row names some): a release that
    # went on would stop soon after it deleted.
    # shellcheck disable=SC2086
    log=$(cd "$base" && "$src/scripts/release" "$src/profiles/sample" --host-tools "$base/no-tools" $options 2>&1)
    code=$?
    echo "$log"
    [ "$code" = 1 ] || fail "$name: exit code $code, not 1"
    grep -qF -- "release: FAILED: $expected" <<<"$log" || fail "$name: the refusal does not say: $expected"
    [ "$(snapshot)" = "$was" ] || fail "$name: the folders changed: $(diff <(echo "$was") <(snapshot))"
  done
  rm -rf "$base"
  ;;

readme)
  # On a fresh copy of the tree: no build folder, no host tools given. The
  # README's ~/keys files are in a home folder of the test's own, and the
  # throwaway CA in the environment, as the system's roots do not know it.
  clone="$dir/readme-clone"
  home="$dir/readme-home"
  rm -rf "$clone" "$home"
  mkdir -p "$clone" "$home/keys"
  tar -C "$src" --exclude=./build --exclude=./.git -cf - . | tar -C "$clone" -xf - || fail "copying the tree"
  cp "$pki/signer.p12" "$home/keys/maker.p12"
  cp "$pki/password.txt" "$home/keys/maker.pass"
  # The README's one sh block that runs scripts/release, as it stands there.
  command=$(awk '/^ *```sh$/ { block = ""; inside = 1; next }
                 /^ *```$/ { if (inside && block ~ /scripts\/release /) printf "%s", block; inside = 0; next }
                 inside { block = block $0 "\n" }' "$src/README.md")
  [ -n "$command" ] || { fail "the README shows no scripts/release command"; exit 1; }
  printf 'README:\n%s\n' "$command"
  # Where its comment says the release lands ("# -> build/release/sample/").
  landed=$(sed -n 's/.*# -> \([^ ]*\).*/\1/p' <<<"$command")
  [ -n "$landed" ] || fail "the README's command does not say where the release lands"
  log=$(cd "$clone" && env HOME="$home" UPDATER_SIGN_CA_FILE="$pki/ca.pem" bash -c "$command" 2>&1)
  code=$?
  echo "$log"
  [ "$code" = 0 ] || fail "the README's release command ended with $code"
  grep -q 'is ready: both updaters signed and verified' <<<"$log" || fail "the release did not say it is ready, signed"
  release="$clone/$landed"
  for file in TumbleTrainUpdate-64bit.exe TumbleTrainUpdate-32bit.exe SHA256SUMS .updater-release; do
    [ -f "$release/$file" ] || fail "no $file in $release"
  done
  (cd "$release" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check in $release"
  for bits in 64bit 32bit; do
    osslsigncode verify -CAfile "$pki/ca.pem" -in "$release/TumbleTrainUpdate-$bits.exe" >/dev/null 2>&1 ||
      fail "$bits: the signature does not verify"
  done
  [ "$status" = 0 ] && rm -rf "$clone" "$home"
  ;;

patched)
  # A profile whose base is the sample's older installation, released unsigned.
  rm -rf "$dir/patched"
  mkdir -p "$dir/patched/profile"
  printf 'include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)\nset(UPDATER_BASE "%s/old")\n' "$sample" \
    >"$dir/patched/profile/profile.cmake"
  log=$("$src/scripts/release" "$dir/patched/profile" --host-tools "$host_bin" --out "$dir/patched/out" \
    --work "$dir/patched/work" 2>&1) || fail "scripts/release with a base failed: $log"
  echo "$log"
  for file in TumbleTrain.exe dll/RESOURCE.dll; do
    "$host_bin/payloadtool" diff "$sample/old/$file" "$sample/new/$file" "$dir/patched/made.upp" || fail "diff $file"
    whole=$(stat -c %s "$sample/new/$file")
    patch=$(stat -c %s "$dir/patched/made.upp")
    grep -qE "^   $file +$whole +$patch\$" <<<"$log" || fail "no line '$file $whole $patch' in the release's output"
  done
  exe="$(sed -n 's/^exe=//p' "$dir/patched/work/x64/generated/updater/release.txt")"
  x86_64-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null | grep -q '"TUMBLETRAIN.EXE" "BINPATCH"' ||
    fail "the updater carries no patch of TumbleTrain.exe"
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
exit $status
