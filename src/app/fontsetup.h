#pragma once

// Fonts every window of the process uses: the bundled icon font, and an application font list
// that puts the CJK family first and the colour emoji family after it, so Chinese text never
// falls back to a mismatched face and emoji render in colour.
class FontSetup {
public:
    static void install();
};
