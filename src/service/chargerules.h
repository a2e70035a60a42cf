#pragma once

#include <QString>
#include <QStringView>

// What one send and its reply cost, in quota units.
struct PriceTier {
    double inputRate = 0;  // per counted character of the question and its context
    double outputRate = 0; // per counted character of the reply
    double flatCharge = 0; // per request, for the image model; the rates are 0 then

    bool isFlat() const { return flatCharge > 0; }
};

// How a request and its answer are charged. The client charges with these rules and a metering
// server charges with the very same ones, so both are built from this one place and a client
// that leaves the charging to the server pays exactly what it would have paid itself.
class ChargeRules {
public:
    // The price of `model`; an identifier the catalogue does not know pays the dearer tier.
    static PriceTier priceTier(QStringView model);
    // Characters left after deleting all white space, counted as user-perceived characters.
    static qsizetype countBillableCharacters(QStringView text);
    // Charged once per send, before the model request.
    static double inputCharge(const QString &model, const QString &userMessage,
                              const QString &context);
    // Charged once per chat reply, on the formatted reply text.
    static double outputCharge(const QString &model, const QString &formattedReply);
};
