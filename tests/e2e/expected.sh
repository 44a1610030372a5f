# What the board receives, shared by the end-to-end tests on X11 and Wayland.

send() {  # send <row=command ...>: the bytes of a full send with those rows changed
  local rows=(a0 c0 b0 e0f0j0 e0 f0 e0f0 k0 l0 g0 h0 i1 d0) change
  for change in "$@"; do rows[${change%%=*}-1]=${change#*=}; done
  printf '%s' "${rows[@]}"
}

# Connected, the side light switched on: one send.
side_light_on=$(send 3=b1)
# Then the low beam: it clears the side light, which sends, then sends itself.
low_beam_on=$(send 1=a1)$(send 1=a1)
