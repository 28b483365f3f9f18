#!/bin/sh
# Renders the tray program's images from the SVG sources in svg/ and copies
# the fonts from the system's font packages. The results are kept in the
# repository, so building needs none of these tools; run this after changing
# a source. Needs rsvg-convert (librsvg2-bin) and ImageMagick (imagemagick),
# fonts-open-sans and fonts-inter.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
# ImageMagick's own convert; a different "convert" may come first on PATH.
IM=/usr/bin/convert
[ -x "$IM" ] || IM=convert

png() { rsvg-convert -w "$3" -h "$3" "svg/$1" -o "$2"; }

png icon.svg tray/icon.png 64
png logo.svg logo/logo.png 40
png no_internet.svg alert/no_internet/logo.png 160
png no_filtering.svg alert/no_filtering/logo.png 160
png eye_on.svg authorization/eye_on.png 24
png eye_off.svg authorization/eye_off.png 24
png update_true.svg nav/update_true.png 24
png update_false.svg nav/update_false.png 24
png arrow_down.svg personal_area/profiles/arrow_down.png 16
png arrow_up.svg personal_area/profiles/arrow_up.png 16
png check.svg personal_area/check.png 22
png check_empty.svg personal_area/check_empty.png 22
mkdir -p personal_area/switch
rsvg-convert -w 44 -h 24 svg/switch_on.svg -o personal_area/switch/on.png
rsvg-convert -w 44 -h 24 svg/switch_off.svg -o personal_area/switch/off.png

# Animations: 12 frames, 30 degrees apart, 80 ms each, looping.
animate() {
    template=$1 out=$2 size=$3
    work=$(mktemp -d)
    i=0
    while [ $i -lt 12 ]; do
        angle=$((i * 30))
        sed "s/ANGLE/$angle/g" "svg/$template" >"$work/frame.svg"
        rsvg-convert -w "$size" -h "$size" "$work/frame.svg" -o "$work/$(printf '%02d' $i).png"
        i=$((i + 1))
    done
    "$IM" -delay 8 -loop 0 -dispose background "$work"/[0-9][0-9].png "$out"
    rm -rf "$work"
}
animate loader.svg.in authorization/loader.gif 64
animate update_progress.svg.in nav/update_progress.gif 24

# Fonts (free licences; their terms are kept beside them).
cp /usr/share/fonts/truetype/open-sans/OpenSans-Semibold.ttf fonts/poppins_medium.ttf
cp /usr/share/fonts/opentype/inter/Inter-Medium.otf fonts/nevermind_medium.ttf
cp /usr/share/doc/fonts-open-sans/copyright fonts/LICENSE-OpenSans.txt
cp /usr/share/doc/fonts-inter/copyright fonts/LICENSE-Inter.txt
