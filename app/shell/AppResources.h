#pragma once

// The icons are compiled into the static core library; a static library's resource
// initialiser is only linked when something calls it, so every widget that shows an icon
// calls this first. Safe to call many times.
void ensureAppResources();
