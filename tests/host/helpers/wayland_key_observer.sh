#!/bin/sh
# A Wayland window (wev) that takes the keyboard focus, its events one line each: "ready" once it
# holds the focus, "<modifier state> <keysym name>" for each key press as the X11 observer prints
# them (Shift 1, Control 4, Mod1 8, Mod4 64), and what the pointer does over it: "motion X Y"
# (in the window, where it entered too), "button CODE press|release", "axis AXIS VALUE".
# wev takes a keyboard each time the seat's devices change: only the first one counts.
# wev is killed when this script is; mawk ends with wev's output.
setpriv --pdeathsig KILL -- stdbuf -oL wev | mawk -W interactive '
/^\[/ { mine = pressed = 0 }
$2 ~ /^wl_(keyboard|pointer)]$/ {
    if ($3 == "enter:" && !first[$2]) first[$2] = $1
    mine = first[$2] == $1
}
!mine { next }
$2 == "wl_keyboard]" && $3 == "enter:" && !ready++ { print "ready" }
$3 == "key:" { pressed = $NF == "(pressed)" }
$1 == "sym:" && pressed { print modifiers + 0, $2 }
$1 == "depressed:" { delete held }
$1 ~ /^(depressed|latched|locked):$/ { for (i = 3; i <= NF; i++) held[$i] = 1 }
$1 == "locked:" {
    modifiers = held["Shift"] + 4 * held["Control"] + 8 * held["Mod1"] + 64 * held["Mod4"]
}
$2 == "wl_pointer]" && $3 ~ /^(enter|motion):$/ { printf "motion %g %g\n", $(NF - 1), $NF }
$3 == "button:" { print "button", $9, ($NF == "(pressed)" ? "press" : "release") }
$3 == "axis:" { printf "axis %d %g\n", $6, $NF }
'
