#!/usr/bin/env bash
# Draws the skin pictures of the desktop program (ImageMagick). Run from this folder; each
# picture is <resource id>.png and is compiled into the program. One look throughout: light
# grey body, a blue title band 41 pixels high, thin grey frame, rounded buttons.
set -euo pipefail
BAND='#1f7fd0' BAND2='#3a98e4' BODY='#f4f4f4' FRAME='#c3cad2'

background() {  # id width height
  convert -size "$2x$3" xc:"$BODY" \
    \( -size "$2x41" gradient:"$BAND2-$BAND" \) -geometry +0+0 -composite \
    -fill none -stroke "$FRAME" -draw "rectangle 0,0 $(($2-1)),$(($3-1))" "$1.png"
}
field() {  # id width height: a framed input field drawn into the background
  convert -size "$2x$3" xc:none -fill white -stroke '#b9c2cc' \
    -draw "roundrectangle 0,0 $(($2-1)),$(($3-1)) 3,3" "$1.png"
}
button() {  # id width height top bottom border
  convert -size "$2x$3" gradient:"$4-$5" \
    \( +clone -alpha extract -fill black -colorize 100 -fill white \
       -draw "roundrectangle 0,0 $(($2-1)),$(($3-1)) 4,4" \) \
    -alpha off -compose CopyOpacity -composite -compose over \
    -fill none -stroke "$6" -draw "roundrectangle 0,0 $(($2-1)),$(($3-1)) 4,4" "$1.png"
}
glyph() {  # id width height colour draw...
  local id=$1 w=$2 h=$3 c=$4
  shift 4
  convert -size "${w}x${h}" xc:none -fill "$c" -stroke "$c" "$@" "$id.png"
}

# Dialog backgrounds (ids and sizes as the dialogs expect them).
background 263 355 197   # message box, switch account
background 371 447 385   # about
background 295 321 197   # hotspot
background 253 353 251   # phone connection
background 232 422 232   # log-in
background 387 530 299   # registration
background 337 484 426   # main window
background 272 355 285   # after update
background 358 717 466   # wizard step 1
background 357 717 466   # wizard steps 2 and 3
field 386 261 30
field 369 254 29
field 370 179 17

# Message box buttons: normal/hover 260, pressed 259.
button 260 73 25 '#ffffff' '#e6eaef' '#aeb8c3'
button 259 73 25 '#d9e1ea' '#eef2f6' '#8f9cab'

# Caption buttons 14x14: close 326/327, minimize 328/329.
glyph 326 14 14 white -strokewidth 2 -draw 'line 2,2 11,11' -draw 'line 11,2 2,11'
glyph 327 14 14 '#ffd8d8' -strokewidth 2 -draw 'line 2,2 11,11' -draw 'line 11,2 2,11'
glyph 328 14 14 white -strokewidth 2 -draw 'line 2,10 11,10'
glyph 329 14 14 '#d8ecff' -strokewidth 2 -draw 'line 2,10 11,10'

# Language logos 76x22: 344 simplified Chinese, 376 English, 377 traditional Chinese.
logo() {
  convert -size 76x22 xc:none -fill white -draw 'roundrectangle 1,3 16,18 3,3' \
    -fill "$BAND" -draw 'rectangle 4,7 13,8' -draw 'rectangle 4,10 13,11' -draw 'rectangle 4,13 10,14' \
    -fill white -font DejaVu-Sans-Bold -pointsize 12 -annotate +20+15 'Quarlo' \
    -font DejaVu-Sans -pointsize 7 -annotate +64+9 "$2" "$1.png"
}
logo 344 CN
logo 376 EN
logo 377 TW

# Radio 222 checked / 223 unchecked (16x16), check box 388 (15x15) and its mark 389 (9x9).
glyph 223 16 16 white -stroke '#8f9cab' -draw 'circle 7.5,7.5 7.5,1'
convert 223.png -fill '#1f7fd0' -stroke none -draw 'circle 7.5,7.5 7.5,4.5' 222.png
glyph 388 15 15 white -stroke '#8f9cab' -draw 'rectangle 0,0 14,14'
glyph 389 9 9 none -stroke '#1f7fd0' -strokewidth 2 -draw 'polyline 1,4 3,7 8,1'

# Combo box face 224 (122x20) and arrow 225 (9x6).
convert -size 122x20 xc:white -fill none -stroke '#b9c2cc' -draw 'rectangle 0,0 121,19' 224.png
glyph 225 9 6 '#5b6b7b' -draw 'polygon 0,0 8,0 4,5'

# List header strip 391 (1x28).
convert -size 1x28 gradient:'#fbfcfd-#e9edf1' 391.png

# Tray menu icons.
glyph 287 15 10 '#1f7fd0' -draw 'rectangle 0,2 14,9' -draw 'rectangle 0,0 6,2'
glyph 322 15 15 '#1f7fd0' -fill none -strokewidth 1.5 -draw 'arc 1,4 13,16 200,340' -draw 'arc 4,7 10,13 200,340' -fill '#1f7fd0' -draw 'circle 7,11 7,12'
glyph 286 15 15 '#5b6b7b' -draw 'circle 7,7 7,2' -fill white -stroke white -draw 'circle 7,7 7,5'
glyph 285 15 15 '#2eae5f' -draw 'roundrectangle 3,0 11,14 2,2' -fill white -stroke white -draw 'rectangle 5,2 9,10'
glyph 280 16 15 '#9aa5b1' -draw 'roundrectangle 4,0 12,14 2,2' -fill white -stroke white -draw 'rectangle 6,2 10,10'
glyph 284 16 15 '#1f7fd0' -draw 'circle 8,7 8,0' -fill white -stroke white -font DejaVu-Sans-Bold -pointsize 10 -annotate +5+11 '?'
glyph 283 16 15 '#1f7fd0' -draw 'circle 8,7 8,0' -fill white -stroke white -font DejaVu-Sans-Bold -pointsize 10 -annotate +6+11 'i'
glyph 282 16 13 '#5b6b7b' -draw 'circle 5,4 5,1' -draw 'rectangle 1,8 9,12' -draw 'polygon 11,3 15,6 11,9'
glyph 281 14 15 '#d04a3a' -fill none -strokewidth 2 -draw 'arc 1,2 13,14 -60,240' -draw 'line 7,0 7,7'
# Update, registration, wizard, hotspot and about pictures.
background 234 452 262   # update notice: banner 452x111 under the band, then the question
button 381 167 36 '#3a98e4' '#1f7fd0' '#17649f'   # register and log in
button 382 167 36 '#1f7fd0' '#3a98e4' '#17649f'
button 334 90 28 '#ffffff' '#e6eaef' '#aeb8c3'    # release notes OK
button 335 90 28 '#f4f8fc' '#dce6f0' '#8f9cab'
button 219 90 28 '#ffffff' '#e6eaef' '#aeb8c3'    # update notice buttons
button 220 90 28 '#d9e1ea' '#eef2f6' '#8f9cab'
button 362 70 24 '#ffffff' '#e6eaef' '#aeb8c3'    # wizard browse
button 363 70 24 '#d9e1ea' '#eef2f6' '#8f9cab'
button 364 80 26 '#ffffff' '#e6eaef' '#aeb8c3'    # wizard add, delete
button 365 80 26 '#d9e1ea' '#eef2f6' '#8f9cab'
button 366 96 30 '#3a98e4' '#1f7fd0' '#17649f'    # wizard back, next, finish
button 367 96 30 '#1f7fd0' '#3a98e4' '#17649f'
button 332 88 28 '#ffffff' '#e6eaef' '#aeb8c3'    # hotspot start, stop
button 333 88 28 '#d9e1ea' '#eef2f6' '#8f9cab'
# Hotspot status 24x24: 331 possible or on (green), 266 not possible (grey with a bar).
glyph 331 24 24 '#2eae5f' -draw 'circle 11.5,11.5 11.5,1' -fill white -stroke white -strokewidth 2 \
  -draw 'polyline 6,12 10,16 17,7'
glyph 266 24 24 '#9aa5b1' -draw 'circle 11.5,11.5 11.5,1' -fill white -stroke white -draw 'rectangle 5,10 18,13'
# Wizard language pictures 200x300 (359 simplified Chinese, 361 English, 360 traditional Chinese).
wizpic() {
  convert -size 200x300 gradient:'#3a98e4-#17649f' -fill white -font DejaVu-Sans-Bold -pointsize 30 \
    -annotate +28+140 'Quarlo' -font DejaVu-Sans -pointsize 16 -annotate +30+175 "$2" \
    -fill none -stroke white -strokewidth 3 -draw 'roundrectangle 70,190 130,280 8,8' \
    -draw 'line 90,270 110,270' "$1.png"
}
wizpic 359 'CN'
wizpic 361 'English'
wizpic 360 'TW'
# About: language pictures 86x123 (372 simplified Chinese, 374 English, 373 traditional
# Chinese) and the product mark 375 (51x29).
aboutpic() {
  convert -size 86x123 xc:none -fill '#1f7fd0' -draw 'roundrectangle 0,0 85,122 10,10' \
    -fill white -draw 'roundrectangle 24,16 61,80 5,5' -fill '#1f7fd0' -draw 'rectangle 28,22 57,70' \
    -fill white -font DejaVu-Sans-Bold -pointsize 13 -annotate +18+104 "$2" "$1.png"
}
aboutpic 372 'CN'
aboutpic 374 'EN'
aboutpic 373 'TW'
convert -size 51x29 xc:none -fill '#1f7fd0' -draw 'roundrectangle 0,0 50,28 6,6' \
  -fill white -font DejaVu-Sans-Bold -pointsize 12 -annotate +6+19 'Q.app' 375.png

mogrify -depth 8 -strip ./*.png
