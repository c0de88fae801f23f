#!/usr/bin/env bash
# Regenerates the program's icon and carousel banners in res/.
# The outputs are committed, so a build never needs ImageMagick; run this only
# after changing the artwork. Needs ImageMagick 6 (convert), python3 and the
# WenQuanYi Micro Hei font (Debian: imagemagick python3 fonts-wqy-microhei).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
res="$root/res"
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
[[ -f $font ]] || { echo "missing font $font (apt-get install fonts-wqy-microhei)" >&2; exit 1; }
command -v convert >/dev/null || { echo "missing convert (apt-get install imagemagick)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Same input, same bytes: no timestamps or other metadata in any output.
export SOURCE_DATE_EPOCH=0
png_flags=(-strip -define png:exclude-chunks=date,time)

# --- app.ico: every size Windows asks for ------------------------------------
# The title bar takes 16 to 32 px, the taskbar 24 to 48, Explorer up to 256.
# 64 and 256 are the full artwork scaled down; the smaller ones are drawn for
# their own size on whole pixels, without shine or shadow, so the glyph stays
# sharp at 16 px. All are 32-bit with alpha; 256 is stored as PNG, the rest
# as bitmaps, which every Windows reads.
icon_sizes=(16 20 24 32 40 48 64 256)

make_icon_artwork() {
  local big=1024
  # Rounded-square tile with a diagonal blue-to-teal gradient.
  convert -size ${big}x${big} -define gradient:angle=135 gradient:'#2f6bff'-'#14c7b4' \
    "$work/tile-fill.png"
  convert -size ${big}x${big} xc:none -fill white \
    -draw "roundrectangle 48,48 975,975 210,210" "$work/tile-mask.png"
  convert "$work/tile-fill.png" "$work/tile-mask.png" -alpha off -compose CopyOpacity -composite \
    "$work/tile.png"
  # Soft light from the top edge, fading out by the middle, clipped to the tile.
  convert -size ${big}x$((big / 2)) gradient:'rgba(255,255,255,0.18)'-'rgba(255,255,255,0)' \
    -background none -extent ${big}x${big} \
    "$work/tile-mask.png" -compose DstIn -composite "$work/shine.png"
  # Downward arrow over an open tray, in white.
  convert -size ${big}x${big} xc:none -fill white -stroke none \
    -draw "roundrectangle 450,230 574,600 30,30" \
    -draw "polygon 300,500 724,500 512,730" \
    -fill none -stroke white -strokewidth 76 -draw "stroke-linecap round stroke-linejoin round polyline 270,690 270,790 754,790 754,690" \
    "$work/glyph.png"
  # Faint shadow under the glyph so it lifts off the gradient.
  convert "$work/glyph.png" -channel RGB -fill '#0b2a66' -colorize 100 +channel \
    -channel A -evaluate multiply 0.35 +channel -blur 0x18 "$work/glyph-shadow.png"
  convert "$work/tile.png" "$work/shine.png" -composite \
    "$work/glyph-shadow.png" -geometry +0+14 -composite \
    "$work/glyph.png" -geometry +0+0 -composite "$work/artwork.png"
}

# small_icon SIZE OUT: the tile, arrow and tray laid out on a 16-unit grid
# whose lines are rounded to whole pixels of SIZE, drawn 8 times larger and
# averaged down, so that straight edges fall on pixel edges.
small_icon() {
  local s=$1 k=8
  at() { echo $(( (($1 * s + 8) / 16) * k )); }      # grid line to drawn pixels
  to() { echo $(( $(at "$1") - 1 )); }               # last drawn pixel before it
  local edge=$((s * k)) m r
  m=$(at 1)
  r=$((s * k * 3 / 16))
  convert -size ${edge}x${edge} -define gradient:angle=135 gradient:'#2f6bff'-'#14c7b4' \
    \( -size ${edge}x${edge} xc:none -fill white \
       -draw "roundrectangle $m,$m $((edge - m - 1)),$((edge - m - 1)) $r,$r" \) \
    -alpha off -compose CopyOpacity -composite -compose Over -fill white -stroke none \
    -draw "rectangle $(at 7),$(at 3) $(to 9),$(to 8)" \
    -draw "polygon $(at 4),$(at 7) $(at 12),$(at 7) $(at 8),$(at 11)" \
    -draw "rectangle $(at 3),$(at 10) $(to 4),$(to 13)" \
    -draw "rectangle $(at 12),$(at 10) $(to 13),$(to 13)" \
    -draw "rectangle $(at 3),$(at 12) $(to 13),$(to 13)" \
    -filter Box -resize ${s}x${s} "$2"
}

make_icon() {
  make_icon_artwork
  local s
  for s in "${icon_sizes[@]}"; do
    if ((s >= 64)); then
      convert "$work/artwork.png" -filter Lanczos -resize ${s}x${s} "$work/icon-$s.png"
    else
      small_icon "$s" "$work/icon-$s.png"
    fi
    if ((s == 256)); then
      convert "$work/icon-$s.png" "${png_flags[@]}" -define png:compression-level=9 \
        PNG32:"$work/icon-$s-out.png"
    else
      convert "$work/icon-$s.png" -depth 8 RGBA:"$work/icon-$s.rgba"
    fi
  done

  # ImageMagick's ICO writer makes bitmaps only, so the icon directory is
  # written here: 16-byte entries (a size byte of 0 means 256), then the
  # images, each as its entry says.
  python3 - "$work" "$res/app.ico" "${icon_sizes[@]}" <<'EOF'
import struct, sys
work, out, sizes = sys.argv[1], sys.argv[2], [int(size) for size in sys.argv[3:]]

def bitmap(size):
    # A 32-bit DIB: its header gives twice the height (the colour rows, then
    # the mask); rows run bottom-up in BGRA; the 1-bit mask, unused beside
    # the alpha, is all zero, its rows padded to 4 bytes.
    rgba = open(f"{work}/icon-{size}.rgba", "rb").read()
    pixels = bytearray(rgba)
    pixels[0::4], pixels[2::4] = rgba[2::4], rgba[0::4]
    row = size * 4
    pixels = b"".join(pixels[y * row:(y + 1) * row] for y in reversed(range(size)))
    mask = bytes((size + 31) // 32 * 4 * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    return header + pixels + mask

images = [open(f"{work}/icon-{size}-out.png", "rb").read() if size == 256 else bitmap(size)
          for size in sizes]
offset = 6 + 16 * len(images)
directory = struct.pack("<HHH", 0, 1, len(images))
for size, image in zip(sizes, images):
    directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
    offset += len(image)
open(out, "wb").write(directory + b"".join(images))
EOF
}

# --- banner-N.jpg: 800x300 carousel pictures ---------------------------------
# They advertise the software being installed. The window answers no click,
# so nothing on them looks like a button or a link, and they say nothing of
# how the download is done.
# banner N FROM TO ACCENT HEADLINE SUBTITLE ART
banner() {
  local n=$1 from=$2 to=$3 accent=$4 title=$5 subtitle=$6 art=$7
  local w=800 h=300
  local base="$work/banner-$n"

  convert -size ${w}x${h} -define gradient:angle=110 gradient:"$from"-"$to" "$base-bg.png"

  # Large soft light blobs give the flat gradient some depth.
  convert -size ${w}x${h} xc:none \
    -fill "$accent" -draw "circle 690,40 690,250" \
    -fill 'rgba(255,255,255,0.10)' -draw "circle 120,330 120,150" \
    -fill 'rgba(255,255,255,0.07)' -draw "circle 470,-60 470,80" \
    -blur 0x30 "$base-blobs.png"

  # Thin rings and dots, crisp, as decoration behind the artwork.
  convert -size ${w}x${h} xc:none -fill none -stroke 'rgba(255,255,255,0.18)' -strokewidth 2 \
    -draw "circle 640,150 640,40" \
    -stroke 'rgba(255,255,255,0.10)' -draw "circle 640,150 640,8" \
    -stroke none -fill 'rgba(255,255,255,0.35)' \
    -draw "circle 520,64 520,69" -draw "circle 752,236 752,240" -draw "circle 548,252 548,255" \
    "$base-rings.png"

  art_"$art" "$base-art.png"

  convert "$base-bg.png" "$base-blobs.png" -composite "$base-rings.png" -composite \
    "$base-art.png" -composite \
    -font "$font" -fill white -pointsize 46 -gravity NorthWest -annotate +56+112 "$title" \
    -fill 'rgba(255,255,255,0.82)' -pointsize 19 -annotate +58+182 "$subtitle" \
    -fill white -draw "rectangle 58,92 90,96" \
    -sampling-factor 4:2:0 -quality 85 -strip -interlace none "$res/banner-$n.jpg"
}

# Line art for the right side of each banner, centred on (640,150).
art_download() {
  convert -size 800x300 xc:none -fill 'rgba(255,255,255,0.22)' -draw "circle 640,150 640,64" \
    -fill white -draw "roundrectangle 626,92 654,160 8,8" -draw "polygon 598,146 682,146 640,192" \
    -fill none -stroke white -strokewidth 12 \
    -draw "stroke-linecap round stroke-linejoin round polyline 596,186 596,208 684,208 684,186" "$1"
}
art_window() {
  convert -size 800x300 xc:none \
    -fill 'rgba(255,255,255,0.25)' -draw "roundrectangle 580,86 716,194 14,14" \
    -fill 'rgba(255,255,255,0.95)' -draw "roundrectangle 562,104 698,212 14,14" \
    -fill "$2" -draw "roundrectangle 574,132 686,200 6,6" \
    -fill 'rgba(255,255,255,0.9)' -draw "rectangle 584,146 646,154" -draw "rectangle 584,164 672,170" \
    -draw "rectangle 584,180 632,186" \
    -fill "$2" -draw "circle 580,118 580,123" -draw "circle 596,118 596,123" -draw "circle 612,118 612,123" \
    "$1"
}
art_cloud() {
  convert -size 800x300 xc:none -fill 'rgba(255,255,255,0.95)' \
    -draw "circle 608,164 608,128" -draw "circle 652,142 652,92" -draw "circle 694,170 694,138" \
    -draw "roundrectangle 576,150 726,202 26,26" \
    -fill "$2" -draw "roundrectangle 646,132 658,180 4,4" -draw "polygon 630,148 674,148 652,124" \
    "$1"
}
art_chart() {
  convert -size 800x300 xc:none -fill 'rgba(255,255,255,0.95)' \
    -draw "roundrectangle 578,152 606,214 6,6" -draw "roundrectangle 622,120 650,214 6,6" \
    -draw "roundrectangle 666,88 694,214 6,6" \
    -fill 'rgba(255,255,255,0.35)' -draw "roundrectangle 566,222 708,228 3,3" \
    -fill none -stroke 'rgba(255,255,255,0.9)' -strokewidth 5 \
    -draw "stroke-linecap round stroke-linejoin round polyline 580,108 620,80 650,90 690,50" \
    -stroke none -fill white -draw "polygon 702,38 680,42 698,60" "$1"
}

make_icon
# The window and cloud art cut shapes out in the banner's own colour.
art_window_purple() { art_window "$1" '#6a3fd1'; }
art_cloud_teal() { art_cloud "$1" '#0f9b8e'; }
banner 1 '#0a2a6b' '#1f6fe5' 'rgba(80,170,255,0.45)' '欢迎使用Talvoren' '为日常工作打造的桌面软件，简洁好用' download
banner 2 '#3a1a8a' '#8a4be0' 'rgba(230,120,255,0.40)' '全新界面 · 流畅体验' '简洁清爽的设计，每一步都一目了然' window_purple
banner 3 '#06665e' '#17b39a' 'rgba(120,255,210,0.35)' '云端同步 · 随时随地' '配置与记录自动同步，多台设备无缝衔接' cloud_teal
banner 4 '#b4400a' '#f59a23' 'rgba(255,220,120,0.45)' '专业工具 · 高效办公' '批量任务与模板管理，让工作事半功倍' chart

ls -l "$res/app.ico" "$res"/banner-?.jpg
