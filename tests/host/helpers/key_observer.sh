#!/bin/sh
# An X window over the whole screen (xev), its events one line each: "ready" once it is mapped,
# "<modifier state> <keysym name>" for each key press (Shift 1, Control 4, Mod1 8, Mod4 64), and
# what the pointer does: "button N press|release", "motion X Y" (on the screen).
# xev is killed when this script is; mawk ends with xev's output.
setpriv --pdeathsig KILL -- stdbuf -oL xev -geometry 10000x10000+0+0 -event structure \
    -event keyboard -event button -event mouse | mawk -W interactive '
function has(mask, bit) { return int(mask / bit) % 2 }
/^[A-Za-z]+ event,/ { event = $1 }
event == "MapNotify" && !ready++ { print "ready" }
event == "KeyPress" && $1 == "state" {
    state = $2 + 0  # mawk reads "0x41," as 65
    modifiers = has(state, 1) + 4 * has(state, 4) + 8 * has(state, 8) + 64 * has(state, 64)
    print modifiers, substr($7, 1, length($7) - 2)
}
event ~ /^Button/ && $1 == "state" {
    print "button", $4 + 0, (event == "ButtonPress" ? "press" : "release")
}
event == "MotionNotify" && match($0, /root:\(-?[0-9]+,-?[0-9]+\)/) {
    split(substr($0, RSTART + 6, RLENGTH - 7), at, ","); print "motion", at[1], at[2]
}
'
