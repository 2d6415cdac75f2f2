// ALSA's library prints every failed lookup of a sound card on standard error,
// some forty lines on a machine without one, each time sound is set up. Called
// before SDL's audio starts, this takes those reports and tells the first one
// once, in a line of our own.
#pragma once

void QuietAlsaErrors();
