// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSCTL_PRINTER_H
#define VEXBUSCTL_PRINTER_H

#include <QJsonObject>
#include <QString>

#include <initializer_list>
#include <utility>

// Where the tool's output goes. Results go to standard output, as text for
// a person or, with --json, as one compact JSON document per line for a
// script; errors and notes go to standard error in either case.
class Printer
{
public:
    explicit Printer(bool json) : m_json(json) {}

    bool json() const { return m_json; }

    // A result: the text in text mode, the object in JSON mode.
    void result(const QString &text, const QJsonObject &object) const;
    // JSON output only, for results printed often such as bus frames: an
    // object of string members, written as result() writes it but without
    // a QJsonObject and a QJsonDocument. The members come in the order
    // QJsonObject keeps them, sorted by key.
    void jsonLine(std::initializer_list<std::pair<QLatin1String, QString>> members) const;
    // A line already made for the mode in use, in ASCII, written as it
    // stands (ASCII reads the same in the locale's encoding), for lines
    // printed many times a second.
    void asciiLine(const QByteArray &line) const;
    // Text output only; nothing in JSON mode.
    void text(const QString &text) const;
    // A note for the person at the terminal (standard error, both modes).
    void note(const QString &text) const;
    // "vexbusctl: " and the message on standard error.
    void error(const QString &message) const;

    // A line redrawn in place (the progress bar) is open on standard output
    // until it ends; anything else printed meanwhile starts a new line first.
    static void setLineOpen(bool open);
    static void endOpenLine();

    // Aligned "label  value" lines for status-like output.
    static QString field(const QString &label, const QString &value);
    static QString yesNo(bool value);

private:
    bool m_json = false;
};

#endif // VEXBUSCTL_PRINTER_H
