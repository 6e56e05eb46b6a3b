#include "base/numbertext.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

QString formatCoefficient(float value)
{
    if (value == 0.0f) {
        return QStringLiteral("0"); // also for -0, which would print as "-0"
    }
    // Like printf's %.7G, but never in the locale's decimal separator: 7 significant digits,
    // trailing zeros dropped, exponent form only below 1E-04 or from 1E+07 on.
    char buffer[32];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, double(value), std::chars_format::general, 7);
    if (error != std::errc()) {
        return QString::number(double(value), 'G', 7);
    }
    QString text = QString::fromLatin1(buffer, end - buffer);
    const qsizetype e = text.indexOf(u'e');
    if (e >= 0) {
        text[e] = u'E';
    }
    return text;
}

QString formatClassValue(qint32 value)
{
    return QString::number(value);
}

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

bool parseDecimal(QStringView text, double* value)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    qsizetype i = begin;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        ++i;
    }
    int digits = 0;
    while (i < end && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < end && text[i] == u'.') {
        ++i;
        while (i < end && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < end && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        if (i < end && (text[i] == u'+' || text[i] == u'-')) {
            ++i;
        }
        int expDigits = 0;
        while (i < end && isDigit(text[i])) {
            ++i;
            ++expDigits;
        }
        if (expDigits == 0) {
            return false;
        }
    }
    if (i != end) {
        return false;
    }
    // The grammar above is ASCII only; from_chars never looks at the locale. It takes no
    // leading plus sign.
    QByteArray ascii = text.mid(begin, end - begin).toLatin1();
    if (ascii.startsWith('+')) {
        ascii.remove(0, 1);
    }
    double parsed = 0;
    const char* first = ascii.constData();
    const char* last = first + ascii.size();
    const auto [stop, error] = std::from_chars(first, last, parsed, std::chars_format::general);
    if (error != std::errc() || stop != last || !std::isfinite(parsed)) {
        return false;
    }
    *value = parsed;
    return true;
}

bool parseCoefficient(QStringView text, float* value)
{
    double parsed = 0;
    if (!parseDecimal(text, &parsed)) {
        return false;
    }
    if (std::fabs(parsed) > double(std::numeric_limits<float>::max())) {
        return false;
    }
    *value = float(parsed);
    return true;
}

double roundHalfEven(double value)
{
    const double lower = std::floor(value);
    const double diff = value - lower;
    if (diff < 0.5) {
        return lower;
    }
    if (diff > 0.5) {
        return lower + 1.0;
    }
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

bool parseClassValue(QStringView text, qint32* value)
{
    double parsed = 0;
    if (!parseDecimal(text, &parsed)) {
        return false;
    }
    const double rounded = roundHalfEven(parsed);
    if (rounded < double(std::numeric_limits<qint32>::min()) ||
        rounded > double(std::numeric_limits<qint32>::max())) {
        return false;
    }
    *value = qint32(rounded);
    return true;
}
