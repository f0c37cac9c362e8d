#!/usr/bin/env bash
# Remakes the installer's artwork in res/art/: the skin picture, the button strips, the progress
# bar bitmaps and the icon, at 100 % (96 dpi), 150 % and 200 %. Needs ImageMagick, pngquant, the
# WenQuanYi Micro Hei font and python3; the build itself only uses the files this writes, which
# are committed.
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
command -v pngquant >/dev/null || { echo "missing pngquant" >&2; exit 1; }
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

# --- One set of art at a scale --------------------------------------------------------------------
# Every set is drawn from the same shapes at its own size (not enlarged from the 100 % set), so
# that edges and text stay sharp at 150 % and 200 %. Positions and sizes given at 100 % become
# round(value * scale): the rounding the wizard uses to place the controls at that scale.
P=100 F=1 SC=
n() { echo $(( ($1 * P + 50) / 100 )); }                      # a whole number >= 0, scaled
f() { awk -v v="$1" -v p="$P" 'BEGIN { print v * p / 100 }'; } # a length, scaled
at() { # x y: an offset "+X+Y" (either may be negative), scaled
  local x=${1#-} y=${2#-} sx=+ sy=+
  [ "$x" = "$1" ] || sx=-
  [ "$y" = "$2" ] || sy=-
  echo "$sx$(n "$x")$sy$(n "$y")"
}
# The 100 % set keeps its file names and formats (the bitmaps are BMP); the others are PNG.
art_file() { # name extension
  if [ "$P" = 100 ]; then echo "$out/$1.$2"; else echo "$out/${1}_$P.png"; fi
}

# --- The skin picture ---------------------------------------------------------------------------
card() { # out.png letter colour suit-path
  convert -size "$(n 74)x$(n 100)" xc:none \
    -fill 'rgba(0,0,0,0.25)' -draw "${SC}roundrectangle 4,6 71,99 7,7" -channel A -blur 0x$(f 2.5) +channel \
    -fill white -stroke '#d8e0ea' -strokewidth 1 -draw "${SC}roundrectangle 3,2 70,96 7,7" -stroke none \
    -font "$font" -pointsize $(f 15) -fill "$3" -annotate $(at 9 19) "$2" \
    -draw "${SC}translate 9,23 scale 0.11,0.11 path '$4'" \
    -draw "${SC}translate 18,30 scale 0.38,0.38 path '$4'" "$1"
}

skin_picture() {
  card heart.png A '#d23a3a' "$heart"
  card spade.png K '#1e2633' "$spade"
  convert heart.png -background none -rotate 14 heart-r.png
  convert spade.png -background none -rotate -10 spade-r.png
  # A xiangqi piece in front of the cards: cards and chess, the two halves of the platform.
  convert -size "$(n 70)x$(n 70)" xc:none \
    -fill 'rgba(0,0,0,0.3)' -draw "${SC}circle 35,37 35,5" -channel A -blur 0x$(f 2.5) +channel \
    -fill '#f4dfb4' -stroke '#c9a46a' -strokewidth 1.5 -draw "${SC}circle 35,34 35,5" \
    -fill none -stroke '#c23b30' -strokewidth 2 -draw "${SC}circle 35,34 35,10" -stroke none \
    -font "$font" -pointsize $(f 28) -fill '#c23b30' -gravity center -annotate $(at 0 -1) '帅' piece.png

  convert -size "$(n $W)x$(n 245)" gradient:'#1d5fd4'-'#3a8cf0' \
    -fill 'rgba(255,255,255,0.07)' -draw "${SC}circle 420,40 420,170" \
    -fill 'rgba(255,255,255,0.05)' -draw "${SC}circle 500,210 500,300" \
    -fill 'rgba(255,255,255,0.04)' -draw "${SC}circle 40,240 40,330" \
    spade-r.png -geometry $(at 318 50) -composite heart-r.png -geometry $(at 372 60) -composite \
    piece.png -geometry $(at 405 140) -composite \
    -fill 'rgba(0,0,0,0.18)' -draw "${SC}roundrectangle 41,95 95,149 12,12" -channel A -blur 0x$(f 2) +channel \
    -fill white -draw "${SC}roundrectangle 40,92 94,146 12,12" \
    -fill '#2a74e4' -draw "${SC}translate 51,102 scale 0.32,0.33 path '$spade'" \
    -font "$font" -fill white -pointsize $(f 34) -annotate $(at 108 130) 'Lumeo棋牌' \
    -fill 'rgba(255,255,255,0.85)' -pointsize $(f 14) -annotate $(at 110 156) '官方正版 · 安全快速 · 一键安装' \
    -fill 'rgba(255,255,255,0.92)' -pointsize $(f 13) -annotate $(at 18 27) 'Lumeo棋牌 - 安装向导' \
    header.png

  # Body: the path panel behind IDC_STATUS/IDC_PATH, the bar track (on the bar's own rows and
  # columns at every scale), the footer behind the links, the terms box and the start button.
  convert -size "$(n $W)x$(n $H)" xc:none header.png -composite \
    -fill white -draw "${SC}path 'M 0,238 C 120,222 300,250 502,226 L 502,371 L 0,371 Z'" \
    -fill "rgb($field)" -stroke 'rgb(222,228,236)' -strokewidth 1 \
    -draw "${SC}roundrectangle 16.5,247.5 385.5,280.5 6,6" -stroke none \
    -fill 'rgb(226,232,240)' \
    -draw "roundrectangle $(n 25),$(n 295) $(( $(n 481) - 1 )),$(( $(n 305) - 1 )) $(f 5),$(f 5)" \
    -fill "rgb($footer)" -draw "${SC}rectangle 0,316 502,371" \
    -fill 'rgb(230,235,241)' -draw "${SC}rectangle 0,316 502,316" \
    body.png
  # Soft edge: a rounded card over a blurred shadow, transparent beyond.
  convert -size "$(n $W)x$(n $H)" xc:black -fill white -draw "${SC}roundrectangle 4,4 497,366 10,10" mask.png
  convert body.png -alpha off mask.png -compose CopyOpacity -composite card.png
  convert -size "$(n $W)x$(n $H)" xc:none -fill 'rgba(10,30,60,0.5)' \
    -draw "${SC}roundrectangle 5,6 496,367 10,10" -channel A -blur 0x$(f 3) +channel \
    card.png -compose over -composite skin.png
  if [ "$P" = 100 ]; then
    convert skin.png -strip -define png:color-type=6 -define png:exclude-chunks=date,time \
      PNG32:"$(art_file skin png)"
  else
    # The larger sets go into the executable as palette pictures, smooth gradients unbroken
    # (no dithering); the buttons are cut from this very picture, so their seams match it.
    pngquant 128 --nofs --speed 1 --strip --force --output "$(art_file skin png)" skin.png
    convert "$(art_file skin png)" PNG32:skin.png
  fi
}

# --- Button strips: three frames (normal, hover, pressed) on the skin under the control ----------
crop() { # x y w h out.png
  convert skin.png -crop "$(n $3)x$(n $4)+$(n $1)+$(n $2)" +repage -background white -alpha remove "$5"
}
# Shapes are drawn at 4x and reduced, for clean edges at these small sizes; text at 1x, hinted.
# Their coordinates are those of the 100 % set's 4x canvas: scaled with the set.
shape() { # bg.png out.png draw-args...
  local bg=$1 dst=$2 size arg previous= args=()
  shift 2
  size=$(identify -format '%wx%h' "$bg")
  for arg in "$@"; do
    if [ "$previous" = -draw ]; then args+=("$SC$arg"); else args+=("$arg"); fi
    previous=$arg
  done
  convert -size "$(( ${size%x*} * 4 ))x$(( ${size#*x} * 4 ))" xc:none "${args[@]}" -resize "$size" shape.png
  convert "$bg" shape.png -composite "$dst"
}
caption() { # in.png out.png colour pointsize dy text
  convert "$1" -font "$font" -pointsize "$(f "$4")" -fill "$3" -gravity center -annotate "+0+$(n "$5")" "$6" "$2"
}
strip() { # name frame0.png frame1.png frame2.png
  convert "$2" "$3" "$4" +append strip.png
  if [ "$P" = 100 ]; then
    write_bmp strip.png 32 "$(art_file "$1" bmp)"
  else
    small_png strip.png "$(art_file "$1" png)"
  fi
}
small_png() { # in.png out.png: fewer colours where the eye cannot tell, else as it is
  pngquant --quality 50-75 --nofs --speed 1 --strip --force --output "$2" "$1" ||
    convert "$1" -strip -define png:exclude-chunks=date,time PNG24:"$2"
}
flat() { # in.png name: a picture without frames (the bar and its cap)
  if [ "$P" = 100 ]; then
    write_bmp "$1" 24 "$(art_file "$2" bmp)"
  else
    small_png "$1" "$(art_file "$2" png)"
  fi
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

# Start-button family at IDOK's place (397,324), 89x24.
wide_button() { # name top bottom hover-top hover-bottom pressed-top pressed-bottom text
  local r="roundrectangle 2,2 353,89 18,18" i w h
  w=$(n 89) h=$(n 24)
  shape bg.png shadowed.png -fill 'rgba(20,60,120,0.2)' -draw "roundrectangle 2,6 353,93 18,18"
  set -- "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8"
  local tops=("$2" "$4" "$6") bottoms=("$3" "$5" "$7")
  for i in 0 1 2; do
    convert -size $((w * 4))x$((h * 4)) gradient:"${tops[i]}"-"${bottoms[i]}" \
      \( -size $((w * 4))x$((h * 4)) xc:black -fill white -draw "$SC$r" \) \
      -alpha off -compose CopyOpacity -composite -resize ${w}x$h face.png
    convert shadowed.png face.png -composite "f$i.png"
  done
  caption f0.png f0.png white 14 0 "$8"
  caption f1.png f1.png white 14 0 "$8"
  caption f2.png f2.png 'rgba(255,255,255,0.9)' 14 1 "$8"
  strip "$1" f0.png f1.png f2.png
}

box() { # out.png border fill [tick]
  shape bg.png "$1" -fill "$3" -stroke "$2" -strokewidth 4 -draw "roundrectangle 22,18 74,70 8,8" \
    ${4:+-draw "$4"}
}

button_strips() {
  round_button 442 "line 29,43 59,43" 'rgba(255,255,255,0.32)' 'rgba(255,255,255,0.48)'
  strip minimize f0.png f1.png f2.png
  round_button 469 "line 31,29 57,55 line 57,29 31,55" 'rgb(232,72,72)' 'rgb(196,48,48)'
  strip close f0.png f1.png f2.png

  crop 397 324 89 24 bg.png
  wide_button start "$blue_top" "$blue_bottom" '#58a2ff' '#2c7cf0' '#1d64cf' '#1a5bbd' '开始安装'
  wide_button continue "$blue_top" "$blue_bottom" '#58a2ff' '#2c7cf0' '#1d64cf' '#1a5bbd' '继续'
  wide_button pause '#8794a6' '#6b788b' '#97a3b4' '#7a879a' '#626e80' '#5a6677' '暂停'
  # Greyed start: only looks disabled, so all three frames are the same.
  wide_button start_disabled '#ccd3dc' '#b9c1cc' '#ccd3dc' '#b9c1cc' '#ccd3dc' '#b9c1cc' '开始安装'

  # Terms box at IDC_AGREE's place (22,329), 25x21: a 13x13 box.
  crop 22 329 25 21 bg.png
  local tick="stroke 'rgb(214,44,44)' stroke-width 7 stroke-linecap round stroke-linejoin round fill none polyline 27,44 38,56 60,28"
  box a0.png 'rgb(160,172,188)' white "$tick"
  box a1.png "$blue_bottom" white "$tick"
  box a2.png "$blue_bottom" 'rgb(226,234,244)' "$tick"
  strip agree_on a0.png a1.png a2.png
  box a0.png 'rgb(160,172,188)' white
  box a1.png "$blue_bottom" white
  box a2.png "$blue_bottom" 'rgb(226,234,244)'
  strip agree_off a0.png a1.png a2.png

  # Change-path pill at IDC_BROWSE's place (395,251), 94x29.
  crop 395 251 94 29 bg.png
  local pill="roundrectangle 6,6 369,109 52,52"
  shape bg.png b0.png -fill white -stroke "$blue_bottom" -strokewidth 4 -draw "$pill"
  shape bg.png b1.png -fill 'rgb(234,242,254)' -stroke "$blue_bottom" -strokewidth 4 -draw "$pill"
  shape bg.png b2.png -fill "$blue_bottom" -stroke "$blue_bottom" -strokewidth 4 -draw "$pill"
  caption b0.png b0.png "$blue_bottom" 13 0 '更改路径'
  caption b1.png b1.png "$blue_bottom" 13 0 '更改路径'
  caption b2.png b2.png white 13 1 '更改路径'
  strip browse b0.png b1.png b2.png
}

# --- Progress bar: the fill (460x10) with rounded ends over the track colour, and its left cap ---
progress_bar() {
  local w h
  w=$(n 460) h=$(n 10)
  convert -size $((w * 4))x$((h * 4)) gradient:'#5aa5fa'-"$blue_bottom" \
    \( -size $((w * 4))x$((h * 4)) xc:black -fill white -draw "${SC}roundrectangle 0,0 1839,39 20,20" \) \
    -alpha off -compose CopyOpacity -composite -resize ${w}x$h! fill.png
  convert -size ${w}x$h xc:'rgb(226,232,240)' fill.png -composite fill-flat.png
  flat fill-flat.png bar_fill
  # IDC_BAR_CAP stands at (21,293), 7x13; the bar runs at y 295..304 and the strip takes over at x 28.
  crop 21 293 7 13 bg.png
  w=$(n 7) h=$(n 13)
  convert -size $((w * 4))x$((h * 4)) gradient:'#5aa5fa'-"$blue_bottom" \( -size $((w * 4))x$((h * 4)) xc:black -fill white \
    -draw "${SC}roundrectangle 12,8 80,47 20,20" \) -alpha off -compose CopyOpacity -composite \
    -resize ${w}x$h! cap.png
  convert bg.png cap.png -composite cap-flat.png
  flat cap-flat.png bar_cap
}

for P in 100 150 200; do
  F=$(awk -v p=$P 'BEGIN { print p / 100 }')
  SC=
  [ "$P" = 100 ] || SC="scale $F,$F "
  skin_picture
  button_strips
  progress_bar
done

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
