#pragma once

#include <QString>
#include <QStringView>

// Text forms of the numbers that the store, the grid, the coefficient text files and the
// parameter file hold. Always the full stop as decimal separator, whatever the locale, so
// files move between machines.

// Coefficient text: rounded to 7 significant digits, no trailing zeros or trailing point
// ("12.5", "0.75", "33.33333", "100"); exponent form only for very large or small values.
QString formatCoefficient(float value);

// Class value text: plain decimal integer ("-3", "21").
QString formatClassValue(qint32 value);

// Plain decimal grammar: blanks around, optional sign, digits with at most one full stop
// (at least one digit), optional exponent. Never nan, inf, hexadecimal or thousands
// separators. False for anything else and for values beyond the range of a double.
bool parseDecimal(QStringView text, double* value);

// A coefficient: a decimal that fits a float.
bool parseCoefficient(QStringView text, float* value);

// A class value: a decimal rounded to the nearest integer, halves to even, that fits 32 bits.
bool parseClassValue(QStringView text, qint32* value);

// Rounds halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -0.5 -> 0).
double roundHalfEven(double value);
