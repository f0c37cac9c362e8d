#!/usr/bin/env bash
# Remakes the installer's artwork in res/art/: the skin picture, the button strips, the progress
# bar bitmaps and the icon. Needs ImageMagick, the WenQuanYi Micro Hei font and python3; the build
# itself only uses the files this writes, which are committed.
#
# Control positions below are the wizard template's dialog units times 1.5 (9 pt font, 96 dpi).
# Controls are composited opaque over the skin, so every button frame and the bar cap is drawn on
# a crop of the skin at the place the control will stand: the seams then disappear.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/res/art}
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
[ -f "$font" ] || { echo "missing $font (Debian fonts-wqy-microhei)" >&2; exit 1; }
command -v convert >/dev/null || { echo "missing ImageMagick" >&2; exit 1; }
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

W=502 H=371
blue_top='#3d8ff5' blue_bottom='#1f6ee0'
# Flat colours that text controls stand on: the code paints their backgrounds with these (see
# palette.h, written below), so the two can never drift apart.
field='242,245,248' footer='247,249,251'
spade="M 50,4 C 18,32 2,50 8,66 C 14,82 38,84 47,68 L 40,96 L 60,96 L 53,68 C 62,84 86,82 92,66 C 98,50 82,32 50,4 Z"
heart="M 50,92 C 18,66 2,46 8,28 C 14,10 38,6 50,26 C 62,6 86,10 92,28 C 98,46 82,66 50,92 Z"

# --- BMP writer: ImageMagick's BMP output varies by version; these must be plain BI_RGB files. ---
cat >bmp.py <<'EOF'
import struct, sys
# usage: bmp.py raw-rgba width height bits out.bmp
raw, w, h, bits, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
data = open(raw, 'rb').read()
assert len(data) == w * h * 4, (raw, len(data))
# LR_LOADMAP3DCOLORS swaps these three greys for system colours; keep the art clear of them.
swapped = {(128, 128, 128), (192, 192, 192), (223, 223, 223)}
rows = []
for y in range(h - 1, -1, -1):  # bottom-up
    row = bytearray()
    for x in range(w):
        r, g, b, a = data[(y * w + x) * 4:(y * w + x) * 4 + 4]
        if (r, g, b) in swapped:
            b += 1
        row += bytes((b, g, r, 255)) if bits == 32 else bytes((b, g, r))
    row += b'\0' * (-len(row) % 4)
    rows.append(bytes(row))
pixels = b''.join(rows)
info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, bits, 0, len(pixels), 2835, 2835, 0, 0)
head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
open(out, 'wb').write(head + info + pixels)
EOF
write_bmp() { # png bits out.bmp
  local size
  size=$(identify -format '%w %h' "$1")
  convert "$1" -background white -alpha remove -alpha on -depth 8 rgba:px.raw
  python3 bmp.py px.raw ${size% *} ${size#* } "$2" "$3"
}

# --- The skin picture ---------------------------------------------------------------------------
card() { # out.png letter colour suit-path
  convert -size 74x100 xc:none \
    -fill 'rgba(0,0,0,0.25)' -draw "roundrectangle 4,6 71,99 7,7" -channel A -blur 0x2.5 +channel \
    -fill white -stroke '#d8e0ea' -strokewidth 1 -draw "roundrectangle 3,2 70,96 7,7" -stroke none \
    -font "$font" -pointsize 15 -fill "$3" -annotate +9+19 "$2" \
    -draw "translate 9,23 scale 0.11,0.11 path '$4'" \
    -draw "translate 18,30 scale 0.38,0.38 path '$4'" "$1"
}
card heart.png A '#d23a3a' "$heart"
card spade.png K '#1e2633' "$spade"
convert heart.png -background none -rotate 14 heart-r.png
convert spade.png -background none -rotate -10 spade-r.png
# A xiangqi piece in front of the cards: cards and chess, the two halves of the platform.
convert -size 70x70 xc:none \
  -fill 'rgba(0,0,0,0.3)' -draw "circle 35,37 35,5" -channel A -blur 0x2.5 +channel \
  -fill '#f4dfb4' -stroke '#c9a46a' -strokewidth 1.5 -draw "circle 35,34 35,5" \
  -fill none -stroke '#c23b30' -strokewidth 2 -draw "circle 35,34 35,10" -stroke none \
  -font "$font" -pointsize 28 -fill '#c23b30' -gravity center -annotate +0-1 '帅' piece.png

convert -size ${W}x245 gradient:'#1d5fd4'-'#3a8cf0' \
  -fill 'rgba(255,255,255,0.07)' -draw "circle 420,40 420,170" \
  -fill 'rgba(255,255,255,0.05)' -draw "circle 500,210 500,300" \
  -fill 'rgba(255,255,255,0.04)' -draw "circle 40,240 40,330" \
  spade-r.png -geometry +318+50 -composite heart-r.png -geometry +372+60 -composite \
  piece.png -geometry +405+140 -composite \
  -fill 'rgba(0,0,0,0.18)' -draw "roundrectangle 41,95 95,149 12,12" -channel A -blur 0x2 +channel \
  -fill white -draw "roundrectangle 40,92 94,146 12,12" \
  -fill '#2a74e4' -draw "translate 51,102 scale 0.32,0.33 path '$spade'" \
  -font "$font" -fill white -pointsize 34 -annotate +108+130 'Lumeo棋牌' \
  -fill 'rgba(255,255,255,0.85)' -pointsize 14 -annotate +110+156 '官方正版 · 安全快速 · 一键安装' \
  -fill 'rgba(255,255,255,0.92)' -pointsize 13 -annotate +18+27 'Lumeo棋牌 - 安装向导' \
  header.png

# Body: the path panel behind IDC_STATUS/IDC_PATH, the bar track, the footer behind the links,
# the terms box and the start button.
convert -size ${W}x${H} xc:none header.png -composite \
  -fill white -draw "path 'M 0,238 C 120,222 300,250 502,226 L 502,371 L 0,371 Z'" \
  -fill "rgb($field)" -stroke 'rgb(222,228,236)' -strokewidth 1 \
  -draw "roundrectangle 16.5,247.5 385.5,280.5 6,6" -stroke none \
  -fill 'rgb(226,232,240)' -draw "roundrectangle 25,295 480,304 5,5" \
  -fill "rgb($footer)" -draw "rectangle 0,316 502,371" \
  -fill 'rgb(230,235,241)' -draw "rectangle 0,316 502,316" \
  body.png
# Soft edge: a rounded card over a blurred shadow, transparent beyond.
convert -size ${W}x${H} xc:black -fill white -draw "roundrectangle 4,4 497,366 10,10" mask.png
convert body.png -alpha off mask.png -compose CopyOpacity -composite card.png
convert -size ${W}x${H} xc:none -fill 'rgba(10,30,60,0.5)' \
  -draw "roundrectangle 5,6 496,367 10,10" -channel A -blur 0x3 +channel \
  card.png -compose over -composite skin.png
convert skin.png -strip -define png:color-type=6 -define png:exclude-chunks=date,time PNG32:"$out/skin.png"

# --- Button strips: three frames (normal, hover, pressed) on the skin under the control ----------
crop() { # x y w h out.png
  convert skin.png -crop "$3x$4+$1+$2" +repage -background white -alpha remove "$5"
}
# Shapes are drawn at 4x and reduced, for clean edges at these small sizes; text at 1x, hinted.
shape() { # bg.png out.png draw-args...
  local bg=$1 dst=$2 size
  shift 2
  size=$(identify -format '%wx%h' "$bg")
  convert -size "$(( ${size%x*} * 4 ))x$(( ${size#*x} * 4 ))" xc:none "$@" -resize "$size" shape.png
  convert "$bg" shape.png -composite "$dst"
}
caption() { # in.png out.png colour pointsize dy text
  convert "$1" -font "$font" -pointsize "$4" -fill "$3" -gravity center -annotate "+0+$5" "$6" "$2"
}
strip() { # out.bmp frame0.png frame1.png frame2.png
  convert "$2" "$3" "$4" +append strip.png
  write_bmp strip.png 32 "$out/$1"
}

# Round title-bar buttons: IDC_MINIMIZE at (442,13), IDC_CLOSE at (469,13), 22x21.
round_button() { # name glyph-draw hover-fill pressed-fill
  local x=$1
  crop "$x" 13 22 21 bg.png
  local ring="stroke 'rgba(255,255,255,0.65)' stroke-width 4"
  shape bg.png f0.png -fill 'rgba(255,255,255,0.14)' -draw "$ring circle 44,42 44,6" \
    -fill none -stroke white -strokewidth 6 -draw "$2"
  shape bg.png f1.png -fill "$3" -draw "stroke none circle 44,42 44,5" \
    -fill none -stroke white -strokewidth 6 -draw "$2"
  shape bg.png f2.png -fill "$4" -draw "stroke none circle 44,42 44,5" \
    -fill none -stroke 'rgba(255,255,255,0.85)' -strokewidth 6 -draw "$2"
}
round_button 442 "line 29,43 59,43" 'rgba(255,255,255,0.32)' 'rgba(255,255,255,0.48)'
strip minimize.bmp f0.png f1.png f2.png
round_button 469 "line 31,29 57,55 line 57,29 31,55" 'rgb(232,72,72)' 'rgb(196,48,48)'
strip close.bmp f0.png f1.png f2.png

# Start-button family at IDOK's place (397,324), 89x24.
crop 397 324 89 24 bg.png
wide_button() { # out.bmp top bottom hover-top hover-bottom pressed-top pressed-bottom text
  local r="roundrectangle 2,2 353,89 18,18" i
  shape bg.png shadowed.png -fill 'rgba(20,60,120,0.2)' -draw "roundrectangle 2,6 353,93 18,18"
  set -- "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8"
  local tops=("$2" "$4" "$6") bottoms=("$3" "$5" "$7")
  for i in 0 1 2; do
    convert -size 356x96 gradient:"${tops[i]}"-"${bottoms[i]}" \
      \( -size 356x96 xc:black -fill white -draw "$r" \) \
      -alpha off -compose CopyOpacity -composite -resize 89x24 face.png
    convert shadowed.png face.png -composite "f$i.png"
  done
  caption f0.png f0.png white 14 0 "$8"
  caption f1.png f1.png white 14 0 "$8"
  caption f2.png f2.png 'rgba(255,255,255,0.9)' 14 1 "$8"
  strip "$1" f0.png f1.png f2.png
}
wide_button start.bmp "$blue_top" "$blue_bottom" '#58a2ff' '#2c7cf0' '#1d64cf' '#1a5bbd' '开始安装'
wide_button continue.bmp "$blue_top" "$blue_bottom" '#58a2ff' '#2c7cf0' '#1d64cf' '#1a5bbd' '继续'
wide_button pause.bmp '#8794a6' '#6b788b' '#97a3b4' '#7a879a' '#626e80' '#5a6677' '暂停'
# Greyed start: only looks disabled, so all three frames are the same.
wide_button start_disabled.bmp '#ccd3dc' '#b9c1cc' '#ccd3dc' '#b9c1cc' '#ccd3dc' '#b9c1cc' '开始安装'

# Terms box at IDC_AGREE's place (22,329), 25x21: a 13x13 box.
crop 22 329 25 21 bg.png
tick="stroke 'rgb(214,44,44)' stroke-width 7 stroke-linecap round stroke-linejoin round fill none polyline 27,44 38,56 60,28"
box() { # out.png border fill [tick]
  shape bg.png "$1" -fill "$3" -stroke "$2" -strokewidth 4 -draw "roundrectangle 22,18 74,70 8,8" \
    ${4:+-draw "$4"}
}
box a0.png 'rgb(160,172,188)' white "$tick"
box a1.png "$blue_bottom" white "$tick"
box a2.png "$blue_bottom" 'rgb(226,234,244)' "$tick"
strip agree_on.bmp a0.png a1.png a2.png
box a0.png 'rgb(160,172,188)' white
box a1.png "$blue_bottom" white
box a2.png "$blue_bottom" 'rgb(226,234,244)'
strip agree_off.bmp a0.png a1.png a2.png

# Change-path pill at IDC_BROWSE's place (395,251), 94x29.
crop 395 251 94 29 bg.png
pill="roundrectangle 6,6 369,109 52,52"
shape bg.png b0.png -fill white -stroke "$blue_bottom" -strokewidth 4 -draw "$pill"
shape bg.png b1.png -fill 'rgb(234,242,254)' -stroke "$blue_bottom" -strokewidth 4 -draw "$pill"
shape bg.png b2.png -fill "$blue_bottom" -stroke "$blue_bottom" -strokewidth 4 -draw "$pill"
caption b0.png b0.png "$blue_bottom" 13 0 '更改路径'
caption b1.png b1.png "$blue_bottom" 13 0 '更改路径'
caption b2.png b2.png white 13 1 '更改路径'
strip browse.bmp b0.png b1.png b2.png

# --- Progress bar: the fill (460x10) with rounded ends over the track colour, and its left cap ---
bar="roundrectangle 0,0 1839,39 20,20"
convert -size 1840x40 gradient:'#5aa5fa'-"$blue_bottom" \( -size 1840x40 xc:black -fill white -draw "$bar" \) \
  -alpha off -compose CopyOpacity -composite -resize 460x10! fill.png
convert -size 460x10 xc:'rgb(226,232,240)' fill.png -composite fill-flat.png
write_bmp fill-flat.png 24 "$out/bar_fill.bmp"
# IDC_BAR_CAP stands at (21,293), 7x13; the bar runs at y 295..304 and the strip takes over at x 28.
crop 21 293 7 13 bg.png
convert -size 28x52 gradient:'#5aa5fa'-"$blue_bottom" \( -size 28x52 xc:black -fill white \
  -draw "roundrectangle 12,8 80,47 20,20" \) -alpha off -compose CopyOpacity -composite \
  -resize 7x13! cap.png
convert bg.png cap.png -composite cap-flat.png
write_bmp cap-flat.png 24 "$out/bar_cap.bmp"

# --- Icon: the brand mark, a white spade on a blue rounded square --------------------------------
convert -size 256x256 xc:none \
  \( -size 256x256 gradient:'#4a9af7'-'#1b5ccf' \( -size 256x256 xc:black -fill white \
     -draw "roundrectangle 8,8 247,247 52,52" \) -alpha off -compose CopyOpacity -composite \) \
  -compose over -composite \
  -fill white -draw "translate 50,46 scale 1.56,1.6 path '$spade'" icon.png
convert icon.png -depth 8 -define icon:auto-resize=256,48,32,24,16 "$out/app.ico"

cat >"$out/palette.h" <<EOF
// Written by tools/make-art.sh: the skin picture's flat colours under the text controls.
#pragma once

#include <windows.h>

// The folder field behind the folder line and the status line.
constexpr COLORREF kArtFieldColour = RGB($field);
// The footer behind the terms link and the manual-download link.
constexpr COLORREF kArtFooterColour = RGB($footer);
EOF

echo "art written to $out"
