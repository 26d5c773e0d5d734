#pragma once

class QWidget;

// Sets a control's text from a printf-style format: a label's, a button's or an
// edit's own text, any other window's title.
void SetWindowFormattedText(QWidget* window, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
