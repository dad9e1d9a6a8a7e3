#!/usr/bin/env bash
# Draws the dialogs' pictures, the icon and the progress-bar tile.
#   ui/res/make-artwork.sh [--out DIR] [--pictures-only] [BANK_NAME]
# The build runs it for the bank of the build (the name from its row of the bank table) with
# --pictures-only into the build folder, so every bank's banners carry its own name; a bank's
# own pictures come in with -DBANK_ARTWORK=<folder> instead. Without --out it writes into this
# folder: the committed pictures (the demo bank's, used when ImageMagick is missing), the icon
# and the tile, which are the same for every bank.
# Needs ImageMagick's convert and the WenQuanYi Micro Hei font (fonts-wqy-microhei).
set -euo pipefail
here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
out=$here pictures_only=0 BANK=
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --out=*) out=${1#--out=}; shift ;;
    --pictures-only) pictures_only=1; shift ;;
    --help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "make-artwork: unknown option $1" >&2; exit 2 ;;
    *) BANK=$1; shift ;;
  esac
done
BANK=${BANK:-恒澍银行}
mkdir -p "$out"
cd "$out"
FONT=${FONT:-/usr/share/fonts/truetype/wqy/wqy-microhei.ttc}
[ -f "$FONT" ] || { echo "font $FONT missing (apt-get install fonts-wqy-microhei)" >&2; exit 1; }
command -v convert >/dev/null || { echo "ImageMagick's convert missing (apt-get install imagemagick)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

RED='#b3121f'
DARK='#7d0b14'
GOLD='#f2c45a'
INK='#3a3a3a'

# PNG resources are 8-bit RGBA, fully opaque.
png() {
  convert "$1" -alpha opaque -define png:color-type=6 -define png:exclude-chunks=date,time \
    -depth 8 "PNG32:$2"
}

# The bank's logo: a red disc holding a gold coin with a square hole.
logo() {  # size out
  local s=$1 c=$(( $1 / 2 )) r=$(( $1 / 2 - 1 ))
  convert -size "${s}x${s}" xc:none \
    -fill "$RED" -draw "circle $c,$c $c,$((c - r))" \
    -fill "$GOLD" -draw "circle $c,$c $c,$((c - r * 72 / 100))" \
    -fill "$RED" -draw "rectangle $((c - r / 4)),$((c - r / 4)) $((c + r / 4)),$((c + r / 4))" \
    "$2"
}
logo 44 "$tmp/logo44.png"
logo 96 "$tmp/logo96.png"

# A large picture: red banner with logo and bank name on top, a light page below.
banner() {  # width height out
  local w=$1 h=$2
  convert -size "${w}x${h}" gradient:'#ffffff-#e9ecef' \
    \( -size "${w}x64" gradient:"$RED-$DARK" -rotate -90 -resize "${w}x64!" \) -geometry +0+0 -composite \
    -fill "$GOLD" -draw "rectangle 0,64 $w,66" \
    "$tmp/logo44.png" -geometry +18+10 -composite \
    -font "$FONT" -fill white -pointsize 24 -annotate +72+41 "$BANK" \
    -fill '#f6d9dc' -pointsize 12 -annotate +$((w - 150))+40 "网上银行安全组件" \
    -fill '#d5d9de' -draw "rectangle 0,$((h - 58)) $w,$((h - 57))" \
    "$3"
}

# 174, 175: banner with a centred caption.
caption_picture() {  # caption out
  banner 588 358 "$tmp/base.png"
  convert "$tmp/base.png" -font "$FONT" -fill "$RED" -pointsize 26 \
    -gravity north -annotate +0+130 "$1" \
    -fill '#9aa1a8' -pointsize 12 -annotate +0+175 "$BANK · 网银助手" \
    -gravity northwest "$2"
}
caption_picture "更新网上银行检测工具组件" "$tmp/174.png"
caption_picture "欢迎使用网上银行检测工具" "$tmp/175.png"

# 177, 178: two-line caption on the left, a drawing on the right; the lower part stays plain
# for the status line and the progress bars.
# A red shield with a key token.
convert -size 588x358 xc:none \
  -fill "$RED" -stroke "$DARK" -strokewidth 2 \
  -draw "path 'M 470,80 L 530,96 L 530,135 Q 530,170 470,190 Q 410,170 410,135 L 410,96 Z'" \
  -stroke none -fill white -draw "roundrectangle 455,105 485,160 5,5" \
  -fill "$GOLD" -draw "rectangle 462,112 478,128" \
  -fill "$INK" -draw "rectangle 466,160 474,172" \
  "$tmp/shield.png"
banner 588 358 "$tmp/base.png"
progress_picture() {  # drawing out
  convert "$tmp/base.png" -font "$FONT" -fill "$INK" -pointsize 20 \
    -annotate +40+108 "检测UKEY使用的系统环境，" -annotate +40+138 "提供安全的网上转账环境" \
    "$1" -composite "$2"
}
progress_picture "$tmp/shield.png" "$tmp/177.png"
# Gear wheels in place of the shield.
gear=()
gear() {  # cx cy r colour: appends the drawing of one wheel to the gear array
  local cx=$1 cy=$2 r=$3
  gear+=(-fill "$4")
  for a in 0 45 90 135; do
    gear+=(-draw "translate $cx,$cy rotate $a rectangle -$((r / 5)),-$((r + r / 4)) $((r / 5)),$((r + r / 4))")
  done
  gear+=(-draw "circle $cx,$cy $cx,$((cy - r))" -fill '#e9ecef' -draw "circle $cx,$cy $cx,$((cy - r * 2 / 5))")
}
gear 455 118 40 "$RED"
gear 522 166 24 '#7b8591'
convert -size 588x358 xc:none "${gear[@]}" "$tmp/gears.png"
progress_picture "$tmp/gears.png" "$tmp/178.png"

# 176: light grey page with a white lower band (the options page has no caption).
convert -size 600x365 xc:'#f0f0f0' \
  -fill white -draw "rectangle 0,290 600,365" \
  -fill '#d5d9de' -draw "rectangle 0,289 600,289" \
  "$tmp/176.png"

# 180, 184: small question pictures, logo beside the question, the bank's name above it.
question_picture() {  # first-line second-line out
  convert -size 420x220 gradient:'#ffffff-#eef0f2' \
    -fill "$RED" -draw "rectangle 0,0 420,6" \
    "$tmp/logo96.png" -geometry +24+46 -composite \
    -font "$FONT" -fill '#9aa1a8' -pointsize 12 -annotate +136+58 "$BANK · 网银助手" \
    -fill "$INK" -pointsize 17 -annotate +136+88 "$1" -annotate +136+114 "$2" \
    -fill '#d5d9de' -draw "rectangle 0,168 420,169" \
    "$3"
}
question_picture "网银助手已有最新版本，" "是否需要更新？" "$tmp/180.png"
question_picture "您是否要重新安装网银助手？" "" "$tmp/184.png"

for id in 174 175 176 177 178 180 184; do png "$tmp/$id.png" "picture_$id.png"; done
if [ "$pictures_only" = 1 ]; then
  echo "pictures for $BANK written to $out"
  exit 0
fi

# 181: the icon, 48, 32 and 16 pixels.
convert "$tmp/logo96.png" -define icon:auto-resize=48,32,16 downloader.ico

# 148: the progress fill tile, 25 x 20, 8 bits per pixel with a palette, one colour per row
# (the first pixel of the top and bottom rows slightly lighter). ImageMagick writes so few colours
# with 4 bits per pixel, so the file is written directly.
python3 - <<'PY'
import struct
rows = [(208, 212, 214), (132, 182, 138), (83, 201, 105), (83, 201, 105), (74, 198, 97),
        (61, 194, 85), (46, 189, 72), (30, 184, 58), (30, 184, 58), (16, 180, 46)] + \
       [(6, 177, 37)] * 9 + [(208, 212, 214)]
corner = (211, 213, 215)
palette = list(dict.fromkeys(rows + [corner]))
w, h = 25, 20
stride = (w + 3) // 4 * 4
pixels = b""
for y in reversed(range(h)):  # bottom-up
    line = bytes(palette.index(corner if x == 0 and y in (0, h - 1) else rows[y]) for x in range(w))
    pixels += line + b"\0" * (stride - w)
table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + b"\0" * 4 * (256 - len(palette))
offset = 14 + 40 + len(table)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
with open("progress_fill.bmp", "wb") as f:
    f.write(struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + info + table + pixels)
PY

echo "artwork for $BANK written to $out"
