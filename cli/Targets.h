// What lanterra-scan reads from its arguments, as pure functions: strict
// numbers (whole decimal numbers in a range, nothing else) and targets in
// the syntax technicians type (A.B.C, A.B.C.D, A.B.C.D-E, A.B.C.D/N), turned
// into one ordered list of addresses with each address once.
#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace Cli {

// The most addresses one run scans.
inline constexpr qsizetype kMaxAddresses = 65536;
// The widest network a target may name.
inline constexpr int kMinPrefix = 16;

// The value of text when it is a whole decimal number from min to max: digits
// only, no sign, blank or fraction. Anything else gives nothing.
std::optional<int> number(const QString &text, int min, int max);
// The one line that refuses argument's value: it names the argument and the
// values allowed.
QString numberRefusal(const QString &argument, int min, int max);

// The addresses of one target, in host byte order and ascending; on bad
// input nothing, and *error holds the one line that says why.
std::optional<QList<quint32>> targetAddresses(const QString &target, QString *error);

// Targets in the order given, each address kept only the first time.
class TargetList
{
public:
    struct Target {
        QString text;
        QList<quint32> addresses; // those new to the list
    };

    // Adds target; false with *error set when it is bad or would take the
    // run past kMaxAddresses.
    bool add(const QString &target, QString *error);
    // Adds the targets of a file's text: one a line, blank lines and
    // everything from a '#' on ignored. source names the file in errors.
    bool addLines(const QString &text, const QString &source, QString *error);

    const QList<Target> &targets() const { return m_targets; }
    QList<quint32> addresses() const;
    qsizetype size() const { return m_seen.size(); }

private:
    QList<Target> m_targets;
    QSet<quint32> m_seen;
};

QString addressText(quint32 address);

} // namespace Cli
