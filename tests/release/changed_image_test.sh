#!/bin/sh
# The build's check after signing stops the build: a signer that changes one
# byte of the image (stand_in_signer.pl) must fail the build of its updater,
# with the check's reason, and leave no exe under the updater's name.
#   changed_image_test.sh CMAKE BUILD_DIR TARGET EXE
cmake=${1:?cmake}
build=${2:?build dir}
target=${3:?target}
exe=${4:?exe}
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

rm -f "$exe"
log=$("$cmake" --build "$build" --target "$target" 2>&1)
code=$?
echo "$log" | grep -E 'Signing|signcheck|byte' | head -n 20
[ "$code" -ne 0 ] || fail "the build of $target passed"
echo "$log" | grep -q "image changed" || fail "the build did not say that the image changed"
[ -e "$exe" ] && fail "$exe was left in place"
[ -e "$exe.signing" ] && fail "$exe.signing was left"
exit $status
