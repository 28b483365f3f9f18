#pragma once

#include <QLabel>

// A word-wrapped label of fixed width that always has the height its whole
// text needs. Box layouts in a fixed-size window keep the height a plain
// wrapped label had for its old text, so a longer text was clipped (or
// squeezed the fields above it); a minimum height is a constraint every
// layout honours, so the form grows instead.
class WrappedLabel : public QLabel
{
    Q_OBJECT
public:
    // `width` is the label's fixed width, `baseHeight` its height when empty
    // or short.
    WrappedLabel(int width, int baseHeight, QWidget* parent);

    void setText(const QString& text);
    void clear();

private:
    int baseHeight;
};
