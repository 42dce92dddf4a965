// The makers registered with the IEEE for the first three bytes of a MAC
// address (the MA-L assignments), read from the registry's CSV file as Debian's
// ieee-data package ships it. The file is read and indexed once, at the first
// look-up, by whichever thread asks first (a maker's name is decoded only when
// asked for); after that nothing is written, so any thread may look up. When the file is missing or unreadable every vendor
// stays empty and one line is logged. Owned by whoever fills in host records;
// one per program is enough.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringView>

#include <mutex>

class VendorRegistry
{
public:
    static constexpr const char *DefaultPath = "/usr/share/ieee-data/oui.csv";

    explicit VendorRegistry(QString path = QString::fromLatin1(DefaultPath));

    // The maker registered for the MAC ("aa:bb:cc:dd:ee:ff", either case, ':'
    // or '-'); empty when the prefix is unknown or the text is no MAC.
    QString vendorOf(QStringView mac) const;

private:
    void load() const;

    const QString m_path;
    mutable std::once_flag m_loaded;
    // Both written only inside load(): the file, and where the first usable row of each 24-bit prefix starts in it.
    mutable QByteArray m_data;
    mutable QHash<quint32, qsizetype> m_rows;
};
