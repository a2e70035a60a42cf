#include "components/symboltable.h"

#include <QFile>

namespace {

struct Symbol {
    const char *name;
    char16_t glyph;
};

const Symbol kSymbols[] = {
    {"xmark.circle.fill", 0xe5c9},                              // cancel
    {"trash", 0xe872},                                          // delete
    {"paperplane.fill", 0xe163},                                // send
    {"doc.on.doc", 0xe14d},                                     // content_copy
    {"checkmark", 0xe5ca},                                      // check
    {"text.quote", 0xe244},                                     // format_quote
    {"arrow.clockwise", 0xe5d5},                                // refresh
    {"pin.fill", 0xf10d},                                       // push_pin
    {"pin.slash.fill", 0xf10d},                                 // push_pin, stroke drawn
    {"person.crop.rectangle.fill", 0xe851},                     // account_box
    {"person.crop.circle.fill", 0xe853},                        // account_circle
    {"crown.fill", 0xe7af},                                     // workspace_premium
    {"bitcoinsign.circle.fill", 0xe263},                        // monetization_on
    {"character.book.closed.fill", 0xea19},                     // menu_book
    {"calendar.circle.fill", 0xe878},                           // event
    {"checkmark.square", 0xe834},                               // check_box
    {"square", 0xe835},                                         // check_box_outline_blank
    {"square.and.arrow.down", 0xe171},                          // save_alt
    {"arrow.up.left.and.arrow.down.right.square.fill", 0xf1ce}, // open_in_full
    {"arrow.down.right.and.arrow.up.left.square.fill", 0xf1cf}, // close_fullscreen
    {"questionmark.circle", 0xe8fd},                            // help_outline
    {"stop.circle.fill", 0xef71},                               // stop_circle
    {"arrow.down", 0xe5db},                                     // arrow_downward
    {"chevron.down", 0xe5cf},                                   // expand_more
    {"ellipsis", 0xe5d3},                                       // more_horiz
    {"magnifyingglass", 0xe8b6},                                // search
    {"pencil", 0xe3c9},                                         // edit
};

const Symbol *find(const QString &name)
{
    for (const Symbol &s : kSymbols) {
        if (name == QLatin1String(s.name))
            return &s;
    }
    return nullptr;
}

} // namespace

QString SymbolTable::glyph(const QString &symbolName)
{
    const Symbol *s = find(symbolName);
    return s ? QString(QChar(s->glyph)) : QString();
}

bool SymbolTable::isSymbol(const QString &name)
{
    return find(name) != nullptr;
}

bool SymbolTable::isSlashed(const QString &symbolName)
{
    return symbolName == u"pin.slash.fill";
}

QString SymbolTable::artworkSource(const QString &name)
{
    if (name.isEmpty() || isSymbol(name))
        return {};
    const QString path = QStringLiteral(":/talvoro/icons/") + name + QStringLiteral(".svg");
    if (!QFile::exists(path))
        return {};
    return QStringLiteral("qrc") + path;
}
