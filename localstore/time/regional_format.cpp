#include "time/regional_format.h"

#include <cctype>
#include <cstring>

#include "status/status_codes.h"
#include "time/calendar.h"

namespace tesra {
namespace {

std::string fieldText(const char *field, size_t size, const char *fallback) {
    const size_t length = strnlen(field, size);
    return length == 0 ? std::string(fallback) : std::string(field, length);
}

struct Separators {
    std::string date, time, decimal, am, pm;
};

Separators separatorsOf(const RegionalLayout &layout) {
    return {fieldText(layout.dateSeparator, sizeof layout.dateSeparator, "."),
            fieldText(layout.timeSeparator, sizeof layout.timeSeparator, "."),
            fieldText(layout.decimalSeparator, sizeof layout.decimalSeparator, ""),
            fieldText(layout.amText, sizeof layout.amText, "AM"), fieldText(layout.pmText, sizeof layout.pmText, "PM")};
}

enum class DateOrder { DayMonthYear, MonthDayYear, YearMonthDay };

DateOrder dateOrderOf(uint16_t flags) {
    if (flags & kYearMonthDay) return DateOrder::YearMonthDay;
    if (flags & kMonthDayYear) return DateOrder::MonthDayYear;
    return DateOrder::DayMonthYear;
}

// Reads characters within a length limit, never past a NUL.
class TextCursor {
public:
    TextCursor(const char *text, size_t limit) : text_(text), limit_(limit) {}

    bool atEnd() const { return position_ >= limit_ || text_[position_] == '\0'; }
    char peek() const { return atEnd() ? '\0' : text_[position_]; }
    size_t position() const { return position_; }

    void skipSpaces() {
        while (peek() == ' ' || peek() == '\t') ++position_;
    }

    // Reads minDigits..maxDigits digits; fails if more digits follow.
    bool readNumber(int minDigits, int maxDigits, int &value) {
        int digits = 0;
        int result = 0;
        while (digits < maxDigits && std::isdigit(static_cast<unsigned char>(peek()))) {
            result = result * 10 + (peek() - '0');
            ++position_;
            ++digits;
        }
        if (digits < minDigits || std::isdigit(static_cast<unsigned char>(peek()))) return false;
        value = result;
        return true;
    }

    bool accept(const std::string &expected, bool ignoreCase = false) {
        size_t i = 0;
        for (; i < expected.size(); ++i) {
            if (position_ + i >= limit_ || text_[position_ + i] == '\0') return false;
            char have = text_[position_ + i];
            char want = expected[i];
            if (ignoreCase) {
                have = static_cast<char>(std::toupper(static_cast<unsigned char>(have)));
                want = static_cast<char>(std::toupper(static_cast<unsigned char>(want)));
            }
            if (have != want) return false;
        }
        position_ += i;
        return true;
    }

private:
    const char *text_;
    size_t limit_;
    size_t position_ = 0;
};

int windowedYear(int twoDigitYear) { return twoDigitYear < 50 ? 2000 + twoDigitYear : 1900 + twoDigitYear; }

}  // namespace

RegionalLayout defaultRegionalLayout() {
    RegionalLayout layout{};
    layout.flags = kTwelveHourClock | kFourDigitYear | kTwoDigitDayMonth | kWriteSeconds;
    std::memcpy(layout.amText, "AM", 3);
    std::memcpy(layout.pmText, "PM", 3);
    std::memcpy(layout.decimalSeparator, ",", 2);
    std::memcpy(layout.dateSeparator, ".", 2);
    std::memcpy(layout.timeSeparator, ".", 2);
    return layout;
}

RegionalLayout layoutOf(const RegionalSettings *settings) {
    if (settings == nullptr) return defaultRegionalLayout();
    RegionalLayout layout;
    std::memcpy(&layout, settings, sizeof layout);
    return layout;
}

StoreStatus readStampText(const RegionalLayout &layout, const char **text, size_t maxLength, StoreTimestamp &stamp) {
    const Separators separators = separatorsOf(layout);
    const DateOrder order = dateOrderOf(layout.flags);
    const bool fourDigitYear = (layout.flags & kFourDigitYear) != 0;
    const bool twelveHour = (layout.flags & kTwelveHourClock) != 0;

    TextCursor cursor(*text, maxLength);
    cursor.skipSpaces();
    if (cursor.atEnd()) return TESRA_ERR_TEXT_EMPTY;

    int fields[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && !cursor.accept(separators.date)) return TESRA_ERR_TEXT_MALFORMED;
        const bool isYear = (order == DateOrder::YearMonthDay) ? i == 0 : i == 2;
        const int digits = isYear ? (fourDigitYear ? 4 : 2) : 2;
        if (!cursor.readNumber(isYear ? digits : 1, digits, fields[i])) return TESRA_ERR_TEXT_MALFORMED;
    }
    CivilTime time{};
    switch (order) {
        case DateOrder::YearMonthDay: time.date = {fields[0], fields[1], fields[2]}; break;
        case DateOrder::MonthDayYear: time.date = {fields[2], fields[0], fields[1]}; break;
        case DateOrder::DayMonthYear: time.date = {fields[2], fields[1], fields[0]}; break;
    }
    if (!fourDigitYear) time.date.year = windowedYear(time.date.year);

    const size_t beforeSpace = cursor.position();
    cursor.skipSpaces();
    if (cursor.position() == beforeSpace) return TESRA_ERR_TEXT_MALFORMED;
    if (!cursor.readNumber(1, 2, time.hour) || !cursor.accept(separators.time) ||
        !cursor.readNumber(2, 2, time.minute)) {
        return TESRA_ERR_TEXT_MALFORMED;
    }
    if (cursor.accept(separators.time)) {
        if (!cursor.readNumber(2, 2, time.second)) return TESRA_ERR_TEXT_MALFORMED;
        // a decimal separator not followed by a digit belongs to the text after the time
        TextCursor fraction = cursor;
        if (!separators.decimal.empty() && fraction.accept(separators.decimal) &&
            std::isdigit(static_cast<unsigned char>(fraction.peek()))) {
            const size_t digitsStart = fraction.position();
            int hundredths = 0;
            if (!fraction.readNumber(1, 2, hundredths)) return TESRA_ERR_TEXT_MALFORMED;
            // one digit means tenths
            time.hundredths = fraction.position() - digitsStart == 1 ? hundredths * 10 : hundredths;
            cursor = fraction;
        }
    }
    if (twelveHour) {
        cursor.skipSpaces();
        const bool am = cursor.accept(separators.am, true);
        const bool pm = !am && cursor.accept(separators.pm, true);
        if (!am && !pm) return TESRA_ERR_TEXT_MALFORMED;
        if (time.hour < 1 || time.hour > 12) return TESRA_ERR_TIME_IMPOSSIBLE;
        time.hour = (time.hour % 12) + (pm ? 12 : 0);
    }

    if (!isValidDate(time.date)) return TESRA_ERR_DATE_IMPOSSIBLE;
    if (time.hour > 23 || time.minute > 59 || time.second > 59) return TESRA_ERR_TIME_IMPOSSIBLE;

    stamp = stampOfCivil(time);
    *text += cursor.position();
    return TESRA_OK;
}

std::string writeStampText(const RegionalLayout &layout, const StoreTimestamp &stamp) {
    const Separators separators = separatorsOf(layout);
    const CivilTime time = civilTimeOf(stamp);
    const bool padDayMonth = (layout.flags & kTwoDigitDayMonth) != 0;
    const bool twelveHour = (layout.flags & kTwelveHourClock) != 0;

    auto number = [](int value, int width) {
        std::string digits = std::to_string(value);
        if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
        return digits;
    };
    const std::string year =
        (layout.flags & kFourDigitYear) ? number(time.date.year, 4) : number(time.date.year % 100, 2);
    const std::string month = number(time.date.month, padDayMonth ? 2 : 1);
    const std::string day = number(time.date.day, padDayMonth ? 2 : 1);

    std::string text;
    switch (dateOrderOf(layout.flags)) {
        case DateOrder::YearMonthDay: text = year + separators.date + month + separators.date + day; break;
        case DateOrder::MonthDayYear: text = month + separators.date + day + separators.date + year; break;
        case DateOrder::DayMonthYear: text = day + separators.date + month + separators.date + year; break;
    }

    int hour = time.hour;
    if (twelveHour) hour = hour % 12 == 0 ? 12 : hour % 12;
    text += ' ' + number(hour, (layout.flags & kTwoDigitHour) ? 2 : 1) + separators.time + number(time.minute, 2);
    if (layout.flags & kWriteSeconds) {
        text += separators.time + number(time.second, 2);
        if ((layout.flags & kWriteHundredths) && !separators.decimal.empty()) {
            text += separators.decimal + number(time.hundredths, 2);
        }
    }
    if (twelveHour) text += ' ' + (time.hour < 12 ? separators.am : separators.pm);
    return text;
}

}  // namespace tesra
