# SPDX-License-Identifier: MIT
# Sourced, from the top of the source tree, by the scripts that make release files
# (release.sh, package.sh, build-arm.sh). It gives them:
#   brivane_version            the version, from project() in CMakeLists.txt, the
#                              only place that names it
#   SOURCE_DATE_EPOCH          exported: the time stamp of every release file, by
#                              default the date of the release's entry (the top one)
#                              in packaging/deb/changelog, which must be for this
#                              version; a value already set is kept
#   release_hardening_flags [DEBIAN-ARCHITECTURE]
#                              exports CPPFLAGS, CXXFLAGS and LDFLAGS: Debian's build
#                              flags with every hardening feature, for the programs'
#                              architecture (default: this machine's)

release_env_fail() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

brivane_version=$(sed -n 's/^project(brivane VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
[ -n "$brivane_version" ] || release_env_fail "no version in CMakeLists.txt's project()"

# The top entry: "brivane (VERSION) ..." and its trailer " -- NAME <MAIL>  DATE".
changelog_version=$(sed -n '1s/^brivane (\([^)]*\)).*/\1/p' packaging/deb/changelog)
[ "$changelog_version" = "$brivane_version" ] ||
    release_env_fail "packaging/deb/changelog's top entry is for '${changelog_version}', not for" \
        "$brivane_version: add the release's entry first"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    release_date=$(sed -n 's/^ -- .*>  //p' packaging/deb/changelog | head -n 1)
    SOURCE_DATE_EPOCH=$(date -u -d "$release_date" +%s 2>/dev/null) ||
        release_env_fail "packaging/deb/changelog: no date in the top entry's trailer"
fi
case $SOURCE_DATE_EPOCH in
'' | *[!0-9]*) release_env_fail "SOURCE_DATE_EPOCH is not a number of seconds: '$SOURCE_DATE_EPOCH'" ;;
esac
export SOURCE_DATE_EPOCH

release_hardening_flags() {
    local arch=${1:-$(dpkg --print-architecture)} flag value
    for flag in CPPFLAGS CXXFLAGS LDFLAGS; do
        # -ffile-prefix-map is made for the current folder, the top of the tree.
        value=$(DEB_HOST_ARCH=$arch DEB_BUILD_MAINT_OPTIONS="hardening=+all ${DEB_BUILD_MAINT_OPTIONS:-}" \
            dpkg-buildflags --get "$flag") || release_env_fail "dpkg-buildflags failed (package dpkg-dev)"
        export "$flag=$value"
    done
}
