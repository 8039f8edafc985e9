#!/usr/bin/env bash
# Writes the corpus of the optimising-save benchmark into DIR: photos,
# graphics, text, screenshots and the PNG suite, as PNG files named
# CATEGORY-NAME.png, and list.tsv (file, category, source).
#   make_opt_corpus.sh DIR [DRILL]
# DRILL is the drill's program for its screenshot (default build/bin/tobelin
# of this tree); without one that runs, the drill's screenshot is left out
# and said so. Uses only what scripts/setup.sh installs (ImageMagick, the IPA
# fonts, Xvfb, openbox, xdotool, the photos of mate-backgrounds, the icons
# of adwaita-icon-theme). Every run writes the same files: no file carries a
# time, plasma noise has a fixed seed, and the screenshots show fixed screens.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: make_opt_corpus.sh DIR [DRILL]}
drill=${2:-$root/build/bin/tobelin}
# The real ImageMagick, never a wrapper of the same name earlier in PATH.
im=/usr/bin/convert
suite=$root/tests/data/pngsuite
photos=/usr/share/backgrounds/mate
icons=/usr/share/icons/Adwaita
gothic=/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf
mincho=/usr/share/fonts/opentype/ipafont-mincho/ipam.ttf

for need in "$im" "$photos/nature/Dune.jpg" "$icons/512x512" "$gothic" "$mincho"; do
  [[ -e $need ]] || { echo "make_opt_corpus: $need is missing (bash scripts/setup.sh)" >&2; exit 1; }
done
mkdir -p "$out"
rm -f "$out"/*.png "$out/list.tsv"
list=$out/list.tsv
printf 'file\tcategory\tsource\n' >"$list"

# Files without time or text chunks: each run gives the same bytes, and the
# photos do not carry their cameras' notes of some kilobytes.
plain=(-define png:exclude-chunk=date,time,tIME,tEXt,zTXt,iTXt,caNv,vpAg,EXIF)
add() {  # CATEGORY NAME SOURCE, the image already written to $out/CATEGORY-NAME.png
  printf '%s\t%s\t%s\n' "$1-$2.png" "$1" "$3" >>"$list"
}
write() {  # CATEGORY NAME SOURCE IMAGEMAGICK-ARGUMENTS...
  local cat=$1 name=$2 src=$3
  shift 3
  "$im" "$@" -strip -depth 8 "${plain[@]}" "$out/$cat-$name.png"
  add "$cat" "$name" "$src"
}

# Photos: camera pictures cropped at their own resolution (scaling would
# smooth away the grain an encoder meets in real photos), one scaled whole
# picture and one turned grey.
# The sizes keep a whole run within minutes: optipng -o7 and zopflipng take
# some 20 and 10 CPU seconds for each megabyte of a photo's samples.
crop=(-gravity center -crop 800x600+0+0 +repage)
for p in Aqua Dune LadyBird Storm Wood YellowFlower; do
  write photo "${p,,}" "mate-backgrounds nature/$p.jpg, centre 800x600" \
    "$photos/nature/$p.jpg" "${crop[@]}"
done
write photo blinds-scaled "mate-backgrounds nature/Blinds.jpg scaled to 800x500" \
  "$photos/nature/Blinds.jpg" -resize 800x500
write photo twowings-grey "mate-backgrounds nature/TwoWings.jpg, 800x600 at (200,300), grey" \
  "$photos/nature/TwoWings.jpg" -crop 800x600+200+300 +repage -colorspace Gray

# Graphics: ImageMagick's built-in pictures, fractal plasma, gradients,
# drawn wallpapers and icons with alpha.
for b in logo wizard rose netscape granite; do
  write graphic "$b" "ImageMagick $b:" "$b:"
done
write graphic plasma "ImageMagick plasma:fractal, seed 19, 512x512" -seed 19 -size 512x512 plasma:fractal
write graphic gradient "ImageMagick gradient:navy-gold 640x480" -size 640x480 gradient:navy-gold
write graphic radial "ImageMagick radial-gradient:white-#206020 512x512" -size 512x512 'radial-gradient:white-#206020'
write graphic float "mate-backgrounds desktop/Float-into-MATE.png, centre 800x600" \
  "$photos/desktop/Float-into-MATE.png" "${crop[@]}"
write graphic gulp-alpha "mate-backgrounds abstract/Gulp.png, right 512x512, with alpha" \
  "$photos/abstract/Gulp.png" -gravity east -crop 512x512+0+0 +repage
for i in places/folder mimetypes/x-office-spreadsheet; do
  write graphic "icon-${i#*/}" "adwaita-icon-theme 512x512 $i" "$icons/512x512/$i.png"
done
# A sheet of small icons, 8 a row and 6 rows, as toolbars hold them.
mapfile -t small < <(find "$icons/48x48" -name '*.png' | sort | head -48)
rows=()
for r in 0 1 2 3 4 5; do
  "$im" "${small[@]:r*8:8}" -background none +append "$out/.row$r.png"
  rows+=("$out/.row$r.png")
done
write graphic icon-48-sheet "adwaita-icon-theme: 48 48x48 icons, 8 a row" "${rows[@]}" -background none -append
rm -f "${rows[@]}"

# Text: Japanese and Latin, grey on white and coloured, set by the IPA fonts.
ja='四字熟語は漢字四字で一つの意味を表す言葉です。一石二鳥、温故知新、以心伝心、十人十色、電光石火。'
la='The quick brown fox jumps over the lazy dog. Pack my box with five dozen liquor jugs. 0123456789'
write text ja-grey "label: IPA Gothic 28pt, black on white, grey" \
  -background white -fill black -font "$gothic" -pointsize 28 -size 1000x caption:"$ja$ja" -colorspace Gray
write text ja-colour "caption: IPA Mincho 32pt, dark blue on cream" \
  -background '#FFF8E0' -fill '#102080' -font "$mincho" -pointsize 32 -size 900x caption:"$ja"
write text latin-grey "caption: IPA Gothic 20pt, dark grey on white, grey" \
  -background white -fill '#303030' -font "$gothic" -pointsize 20 -size 1000x caption:"$la $la $la $la" -colorspace Gray
write text latin-colour "label: IPA Mincho 48pt, red and green on black" \
  -background black -font "$mincho" -pointsize 48 -fill '#E03020' label:'Tobelin kanji drill' \
  -fill '#20C040' label:'四字熟語 部首判別 読み' -append
write text ja-alpha "label: IPA Gothic 40pt, black on transparent" \
  -background none -fill black -font "$gothic" -pointsize 40 label:'漢字の読み方 (かんじのよみかた)'

# Screenshots composed like a desktop: a wallpaper, windows with title bars,
# text and buttons.
desk() {  # NAME WIDTH HEIGHT
  local w=$2 h=$3
  write screen "$1" "composed desktop ${w}x${h} (ImageMagick drawing)" \
    -size "${w}x${h}" gradient:'#3A6EA5-#1D3752' \
    -fill '#D4D0C8' -draw "rectangle 60,50 $((w * 2 / 3)),$((h * 2 / 3))" \
    -fill '#0A246A' -draw "rectangle 60,50 $((w * 2 / 3)),72" \
    -fill white -font "$gothic" -pointsize 14 -annotate +68+67 'Document - Editor' \
    -fill white -draw "rectangle 70,100 $((w * 2 / 3 - 10)),$((h * 2 / 3 - 10))" \
    -fill black -pointsize 13 -annotate +78+120 "$la" -annotate +78+140 "$ja" \
    -annotate +78+160 'int main() { return 0; }  // 終了' \
    -fill '#ECE9D8' -draw "rectangle $((w / 2)),$((h / 3)) $((w - 40)),$((h - 60))" \
    -fill '#3C64B4' -draw "rectangle $((w / 2)),$((h / 3)) $((w - 40)),$((h / 3 + 22))" \
    -fill white -annotate +$((w / 2 + 8))+$((h / 3 + 16)) '設定' \
    -fill '#D4D0C8' -stroke '#808080' -draw "rectangle $((w - 200)),$((h - 100)) $((w - 130)),$((h - 75))" \
    -draw "rectangle $((w - 120)),$((h - 100)) $((w - 50)),$((h - 75))" -stroke none \
    -fill black -annotate +$((w - 185))+$((h - 82)) 'OK' -annotate +$((w - 110))+$((h - 82)) 'Cancel' \
    -fill '#C0C0C0' -draw "rectangle 0,$((h - 28)) $w,$h" \
    -fill black -annotate +$((w - 60))+$((h - 9)) '12:00' -alpha off
}
desk desktop-1024 1024 768

# A screenshot of the drill on a virtual screen: its menu with the cursor
# moved down twice.
drill_shots() {
  [[ -x $drill ]] || { echo "make_opt_corpus: no drill at $drill: its screenshot is left out"; return; }
  local n=90
  while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
  local pids=() dp
  export DISPLAY=:$n
  Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  openbox >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
  "$drill" >/dev/null 2>&1 &
  dp=$!
  local w=""
  for _ in $(seq 100); do
    w=$(xdotool search --name '^Tobelin' 2>/dev/null | head -1 || true)
    [[ -n $w ]] && break
    sleep 0.1
  done
  sleep 2
  if [[ -n $w ]]; then
    xdotool windowactivate --sync "$w" 2>/dev/null || true
    xdotool key Down Down
    sleep 1
    import -window root "$out/.shot.png"
    write screen drill-menu "the drill's menu under Xvfb + openbox, 1024x768, cursor moved down twice" "$out/.shot.png"
    rm -f "$out/.shot.png"
  else
    echo "make_opt_corpus: the drill showed no window: its screenshot is left out"
  fi
  kill "$dp" 2>/dev/null; wait "$dp" 2>/dev/null || true
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null; wait "${pids[i]}" 2>/dev/null || true
  done
}
drill_shots

# The PNG suite's valid files, copied as they are. Its 16-bit files are left
# out: the picture framework keeps 8 bits a sample, so its output could not
# keep their pixels while the peers' does.
excluded=()
while IFS=$'\t' read -r name _ _ _ depth _ _; do
  [[ $name = name || $name = x* ]] && continue
  if [[ $depth = 16 ]]; then excluded+=("$name"); continue; fi
  cp "$suite/$name.png" "$out/suite-$name.png"
  add suite "$name" "tests/data/pngsuite/$name.png"
done <"$suite/manifest.tsv"
echo "make_opt_corpus: left out the PNG suite's ${#excluded[@]} 16-bit files (${excluded[*]}):" \
  "the picture framework keeps 8 bits a sample, so comparing their pixels would be unfair"
echo "make_opt_corpus: $(($(wc -l <"$list") - 1)) files in $out"
