#!/usr/bin/env bash
# Renders the README's pictures of the window into docs/: every tab, the password dialog, a message
# box and the tray icon's states, under a virtual X display with a Korean font (Debian's
# fonts-nanum), from a scratch shop and the reference service on 127.0.0.1; and the head office's
# page (docs/headoffice.png) as headless chromium shows it in its browser test.
# `scripts/screenshots.sh page` makes only the page's picture.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
missing=()
for p in xvfb xauth fonts-nanum; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "screenshots: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
if [ "${1:-}" != page ]; then
    BUILD_TARGETS=veldon-screenshots scripts/build.sh build >/dev/null
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
        build/ui/veldon-screenshots docs
fi
BUILD_TARGETS=central_tests scripts/build.sh build >/dev/null
rm -f docs/headoffice.png
VELDON_HEADOFFICE_PNG="$PWD/docs/headoffice.png" build/tests/central_tests \
    --gtest_filter=HeadOfficeTest.BrowserLogsInAndReadsTheShops --gtest_brief=1
test -s docs/headoffice.png
