#include "analysis/shapefiles.h"

#include "analysis/analysiserror.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cpl_conv.h>
#include <ogr_geometry.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A file descriptor that closes itself.
struct File {
    int fd = -1;
    explicit File(int descriptor) : fd(descriptor) {}
    File(File&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    File& operator=(File&&) = delete;
    ~File()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

File openRead(const QString& path)
{
    return File(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
}

File createFile(const QString& path, const QString& outPath)
{
    File file(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                     0666));
    if (file.fd < 0) {
        fail(QStringLiteral("Cannot write the output %1: %2").arg(outPath, errnoText()));
    }
    return file;
}

void writeAll(const File& file, const char* data, size_t size, const QString& outPath)
{
    while (size > 0) {
        const ssize_t n = ::write(file.fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail(QStringLiteral("Cannot write the output %1: %2").arg(outPath, errnoText()));
        }
        data += n;
        size -= size_t(n);
    }
}

void closeWritten(File& file, const QString& outPath)
{
    const int fd = std::exchange(file.fd, -1);
    if (::close(fd) != 0) {
        fail(QStringLiteral("Cannot write the output %1: %2").arg(outPath, errnoText()));
    }
}

// Reads size bytes at offset; false at an early end of the file.
bool readAt(const File& file, char* data, size_t size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(file.fd, data, size, off_t(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= size_t(n);
        offset += n;
    }
    return true;
}

void copyFile(const QString& from, const QString& to, const QString& outPath)
{
    const File in = openRead(from);
    if (in.fd < 0) {
        fail(QStringLiteral("Cannot write the output %1: %2: %3").arg(outPath, from, errnoText()));
    }
    File out = createFile(to, outPath);
    // In the kernel where it can; a plain copy where the file systems do not allow it.
    bool kernel = true;
    std::vector<char> buffer;
    for (;;) {
        ssize_t n = -1;
        if (kernel) {
            n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, size_t(1) << 30, 0);
            if (n < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernel = false;
                continue;
            }
        } else {
            buffer.resize(size_t(1) << 20);
            n = ::read(in.fd, buffer.data(), buffer.size());
            if (n > 0) {
                writeAll(out, buffer.data(), size_t(n), outPath);
            }
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            fail(QStringLiteral("Cannot write the output %1: %2").arg(outPath, errnoText()));
        }
        if (n == 0) {
            break;
        }
    }
    closeWritten(out, outPath);
}

// The theme's part with this extension, in lower or upper case as it exists.
QString part(const QString& shp, const char* extension)
{
    const QString base = shp.left(shp.size() - 4);
    const QString lower = base + QLatin1String(extension);
    if (QFileInfo(lower).isFile()) {
        return lower;
    }
    const QString upper = base + QString::fromLatin1(extension).toUpper();
    return QFileInfo(upper).isFile() ? upper : QString();
}

// A number right-aligned in its field as GDAL's shapefile writer puts it ("%*.*f", or an
// integer); one too long for the field keeps its first width characters, as there.
void putNumber(char* at, const OutputField& field, double value)
{
    char text[400];
    const auto [end, error] =
        field.type == OFTInteger64
            ? std::to_chars(text, text + sizeof text, static_cast<long long>(value))
            : std::to_chars(text, text + sizeof text, value, std::chars_format::fixed,
                            field.precision);
    const int length = error == std::errc() ? int(end - text) : 0;
    const int kept = std::min(length, field.width);
    std::memset(at, ' ', size_t(field.width - kept));
    std::memcpy(at + field.width - kept, text, size_t(kept));
}

// Bytes of a file read in large pieces, for records that mostly follow one another.
class Window {
public:
    Window(const File& file, qint64 fileSize) : m_file(file), m_fileSize(fileSize) {}
    // The bytes [offset, offset + size), or null past the end of the file.
    const char* at(qint64 offset, qint64 size)
    {
        if (offset < m_start || offset + size > m_start + qint64(m_data.size())) {
            m_data.resize(size_t(std::max(size, std::min<qint64>(4 << 20, m_fileSize - offset))));
            m_start = offset;
            for (size_t got = 0;;) {
                const ssize_t n = ::pread(m_file.fd, m_data.data() + got, m_data.size() - got,
                                          off_t(offset + qint64(got)));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    m_data.resize(got);
                    break;
                }
                got += size_t(n);
            }
            if (qint64(m_data.size()) < size) {
                return nullptr;
            }
        }
        return m_data.data() + (offset - m_start);
    }

private:
    const File& m_file;
    const qint64 m_fileSize;
    std::vector<char> m_data;
    qint64 m_start = 0;
};

bool beyondAscii(char c)
{
    return static_cast<unsigned char>(c) >= 0x80;
}

bool isUtf8Name(QByteArray name)
{
    name = name.trimmed().toUpper();
    return name == "UTF-8" || name == "UTF8" || name == "65001";
}

// The layout of the table at path; nothing unless it holds fieldCount fields (GDAL's count:
// a table GDAL could not open leaves the layer without fields) that fill its records exactly.
std::optional<DbfTable> readTable(const QString& path, int fieldCount)
{
    const File dbf = openRead(path);
    char header[32];
    if (fieldCount < 1 || dbf.fd < 0 || !readAt(dbf, header, sizeof header, 0)) {
        return std::nullopt;
    }
    DbfTable table;
    table.count = qFromLittleEndian<quint32>(header + 4);
    table.headerLength = qFromLittleEndian<quint16>(header + 8);
    table.recordLength = qFromLittleEndian<quint16>(header + 10);
    std::vector<char> descriptors(size_t(fieldCount) * 32);
    if ((table.headerLength - 32) / 32 != fieldCount ||
        !readAt(dbf, descriptors.data(), descriptors.size(), 32)) {
        return std::nullopt;
    }
    int offset = 1; // after the deletion flag
    for (int i = 0; i < fieldCount; ++i) {
        const char* d = descriptors.data() + 32 * i;
        const char type = d[11];
        DbfTable::Field f;
        // The width is one byte, as GDAL reads it; some writers put a high byte of a text
        // field's width in the decimal count, which GDAL ignores, and so a table of such a
        // field does not add up and goes to GDAL's writer.
        f.width = quint8(d[16]);
        f.offset = offset;
        f.text = type == 'C';
        offset += f.width;
        f.descriptor = QByteArray(32, '\0');
        std::memcpy(f.descriptor.data(), d, 12); // name and type
        f.descriptor[16] = d[16];
        f.descriptor[17] = type == 'N' || type == 'F' ? d[17] : '\0';
        const QByteArray name(d, int(qstrnlen(d, 11)));
        f.copyable = type != '\0' && std::strchr("CNFDL", type) &&
                     std::none_of(name.begin(), name.end(), beyondAscii);
        table.fields.push_back(f);
    }
    if (offset != table.recordLength) {
        return std::nullopt;
    }
    return table;
}

// The rings of a shapefile record of several, where the polygon GDAL makes of them is plain:
// one outer ring (clockwise, as GDAL judges it) and then holes (counter-clockwise) with every
// vertex inside it, one polygon; or under the centre rule, outer rings alone with boxes apart,
// a polygon each. GDAL alone decides how other rings go together.
class RecordRings {
public:
    // Whether the record of type at content, length bytes, is such a polygon.
    bool read(const char* content, qint64 length, quint32 type, Coverage rule);
    const char* points() const { return m_xy; }
    const std::vector<int>& starts() const { return m_starts; }
    int count() const { return m_count; }
    bool separate() const { return m_separate; }

private:
    bool insideOuter(const OGRRawPoint& p) const;

    const char* m_xy = nullptr;
    int m_count = 0;
    bool m_separate = false;
    std::vector<int> m_starts;
    std::vector<OGRRawPoint> m_points;
    std::vector<OGREnvelope> m_boxes;
    OGRLinearRing m_ring;
};

bool RecordRings::read(const char* content, qint64 length, quint32 type, Coverage rule)
{
    // Beyond these, GDAL's own reading costs little beside the record's size.
    constexpr qint64 MaxRings = 1000;
    constexpr double MaxTests = 1e6;
    const qint64 rings = qFromLittleEndian<quint32>(content + 36);
    const qint64 points = qFromLittleEndian<quint32>(content + 40);
    if (rings < 2 || rings > MaxRings || points > 50000000 ||
        44 + 4 * rings + 16 * points + (type == 15 ? 16 + 8 * points : 0) > length) {
        return false;
    }
    m_starts.resize(size_t(rings));
    for (qint64 r = 0; r < rings; ++r) {
        const qint64 start = qFromLittleEndian<quint32>(content + 44 + 4 * r);
        const qint64 end =
            r + 1 < rings ? qFromLittleEndian<quint32>(content + 48 + 4 * r) : points;
        if ((r == 0 && start != 0) || end - start < 4 || end > points) {
            return false;
        }
        m_starts[size_t(r)] = int(start);
    }
    m_xy = content + 44 + 4 * rings;
    m_count = int(points);
    m_points.resize(size_t(points));
    std::memcpy(static_cast<void*>(m_points.data()), m_xy, size_t(points) * 16);
    m_boxes.resize(size_t(rings));
    bool outerFirst = true;
    bool outerAll = true;
    for (qint64 r = 0; r < rings; ++r) {
        const int start = m_starts[size_t(r)];
        const int end = r + 1 < rings ? m_starts[size_t(r) + 1] : m_count;
        m_ring.setPoints(end - start, m_points.data() + start);
        m_ring.getEnvelope(&m_boxes[size_t(r)]);
        const bool clockwise = m_ring.isClockwise();
        outerFirst = outerFirst && clockwise == (r == 0);
        outerAll = outerAll && clockwise;
    }
    m_separate = outerAll && rule == Coverage::Centre;
    if (m_separate) {
        for (size_t a = 0; a < m_boxes.size(); ++a) {
            for (size_t b = a + 1; b < m_boxes.size(); ++b) {
                if (m_boxes[a].Intersects(m_boxes[b])) {
                    return false;
                }
            }
        }
        return true;
    }
    const double outer = m_starts[1];
    if (!outerFirst || outer * double(m_count - m_starts[1]) > MaxTests) {
        return false;
    }
    for (int i = m_starts[1]; i < m_count; ++i) {
        if (!insideOuter(m_points[size_t(i)])) {
            return false;
        }
    }
    return true;
}

// Whether p lies inside the first ring, by the even-odd rule; a hole's vertex on that ring may
// fail either way, and its record then goes to GDAL.
bool RecordRings::insideOuter(const OGRRawPoint& p) const
{
    const int end = m_starts[1];
    bool in = false;
    for (int i = 0, j = end - 1; i < end; j = i++) {
        const OGRRawPoint& a = m_points[size_t(i)];
        const OGRRawPoint& b = m_points[size_t(j)];
        if ((a.y > p.y) != (b.y > p.y) && p.x < a.x + (p.y - a.y) * (b.x - a.x) / (b.y - a.y)) {
            in = !in;
        }
    }
    return in;
}

} // namespace

bool readShapefilePolygons(const QString& shpPath, OGRLayer* layer, const QString& theme,
                           const std::vector<StoreTarget>& targets, Coverage rule,
                           std::vector<qint64>& nonFinite, bool keepInFile)
{
    const QString shxPath = part(shpPath, ".shx");
    const QString dbfPath = part(shpPath, ".dbf");
    if (!shpPath.endsWith(QLatin1String(".shp"), Qt::CaseInsensitive) || shxPath.isEmpty() ||
        dbfPath.isEmpty()) {
        return false;
    }
    const File shx = openRead(shxPath);
    const File shp = openRead(shpPath);
    const File dbf = openRead(dbfPath);
    const auto layout = readTable(dbfPath, layer->GetLayerDefn()->GetFieldCount());
    // The counts GDAL goes by: records from the index's header, the .shp's length from its.
    char shxHeader[28];
    char shpHeader[28];
    const qint64 count =
        shx.fd < 0 || !readAt(shx, shxHeader, sizeof shxHeader, 0)
            ? -1
            : (qint64(qFromBigEndian<quint32>(shxHeader + 24) & 0x7fffffff) * 2 - 100) / 8;
    if (!layout || layout->count != count || count < 0 || count > 256000000 ||
        100 + 8 * count > QFileInfo(shxPath).size() || shp.fd < 0 || dbf.fd < 0 ||
        !readAt(shp, shpHeader, sizeof shpHeader, 0)) {
        return false; // the count check says what is wrong
    }
    const qint64 shpSize =
        std::min(QFileInfo(shpPath).size(),
                 qint64(qFromBigEndian<quint32>(shpHeader + 24) & 0x7fffffff) * 2);
    const qint64 dbfStart = layout->headerLength;
    const qint64 dbfRecord = layout->recordLength;
    const auto viaGdal = [&](qint64 fid) {
        FeaturePtr feature{layer->GetFeature(GIntBig(fid))};
        const QString problem = takeGdalError();
        if (!feature || !problem.isEmpty()) {
            fail(QStringLiteral("Theme %1 cannot be read: %2")
                     .arg(theme, problem.isEmpty()
                                     ? QStringLiteral("feature %1 is missing").arg(fid)
                                     : problem));
        }
        bool finite = true;
        for (const StoreTarget& t : targets) {
            finite = t.store->add(feature->GetGeometryRef(), t.inverse, rule) && finite;
        }
        if (!finite) {
            nonFinite.push_back(fid);
        }
    };
    for (const StoreTarget& t : targets) {
        t.store->reserve(t.store->size() + size_t(count));
    }
    Window index(shx, 100 + 8 * count);
    Window records(shp, shpSize);
    Window table(dbf, QFileInfo(dbfPath).size());
    RecordRings rings;
    // The user's own way of putting rings together is GDAL's to follow.
    const bool readRings = !CPLGetConfigOption("OGR_ORGANIZE_POLYGONS", nullptr);
    const auto file = keepInFile ? std::make_shared<const VertexFile>(shpPath, theme)
                                 : std::shared_ptr<const VertexFile>();
    for (qint64 i = 0; i < count; ++i) {
        // GDAL reads each record whole, even for its deletion flag alone.
        const char* flag = table.at(dbfStart + i * dbfRecord, std::max<qint64>(dbfRecord, 1));
        if (!flag) {
            fail(QStringLiteral("Theme %1 cannot be read: %2 ends early").arg(theme, dbfPath));
        }
        if (*flag == '*') {
            continue; // deleted
        }
        const char* entry = index.at(100 + 8 * i, 8);
        if (!entry) {
            fail(QStringLiteral("Theme %1 cannot be read: %2 ends early").arg(theme, shxPath));
        }
        const qint64 offset = qint64(qFromBigEndian<quint32>(entry)) * 2;
        const qint64 length = qint64(qFromBigEndian<quint32>(entry + 4)) * 2;
        const char* content = length >= 4 && offset + 8 + length <= shpSize
                                  ? records.at(offset + 8, length)
                                  : nullptr;
        const quint32 type = content ? qFromLittleEndian<quint32>(content) : 0xffffffff;
        if (type == 0) {
            for (const StoreTarget& t : targets) {
                t.store->add(nullptr, t.inverse, rule);
            }
            continue;
        }
        // Polygon, PolygonZ and PolygonM begin alike: type, box, parts, points, part starts.
        // GDAL calls a record corrupt when it is shorter than its points (and for PolygonZ
        // their heights, which PolygonM's measures need not follow) or holds more than 50
        // million: those go to GDAL, which says so.
        const bool polygon = type == 5 || type == 15 || type == 25;
        const auto addAll = [&](const auto& add) {
            bool finite = true;
            for (const StoreTarget& t : targets) {
                finite = add(*t.store, t.inverse) && finite;
            }
            if (!finite) {
                nonFinite.push_back(i);
            }
        };
        if (polygon && length >= 48 && qFromLittleEndian<quint32>(content + 36) == 1 &&
            qFromLittleEndian<quint32>(content + 44) == 0) {
            const qint64 points = qFromLittleEndian<quint32>(content + 40);
            const qint64 needed = 48 + 16 * points + (type == 15 ? 16 + 8 * points : 0);
            if (points >= 4 && points <= 50000000 && needed <= length) {
                addAll([&](PolygonStore& store, const double* inverse) {
                    const int start = 0;
                    return file ? store.addRingInFile(content + 48, int(points), inverse, file,
                                                      offset + 8 + 48)
                                : store.addRings(content + 48, &start, 1, int(points), false,
                                                 inverse);
                });
                continue;
            }
        } else if (polygon && length >= 44 && readRings &&
                   rings.read(content, length, type, rule)) {
            addAll([&](PolygonStore& store, const double* inverse) {
                return store.addRings(rings.points(), rings.starts().data(),
                                      int(rings.starts().size()), rings.count(), rings.separate(),
                                      inverse);
            });
            continue;
        }
        viaGdal(i);
    }
    for (const StoreTarget& t : targets) {
        t.store->settleFileVertices();
    }
    return true;
}

std::optional<ShapefileCopy> ShapefileCopy::prepare(const QString& shpPath, int sourceFieldCount,
                                                    const std::vector<int>& copiedFields,
                                                    const std::vector<OutputField>& fields,
                                                    qint64 count, const QString& outPath)
{
    if (CPLGetConfigOption("SHAPE_ENCODING", nullptr) ||
        !shpPath.endsWith(QLatin1String(".shp"), Qt::CaseInsensitive)) {
        return std::nullopt;
    }
    ShapefileCopy copy;
    copy.m_outPath = outPath;
    copy.m_shp = shpPath;
    copy.m_shx = part(shpPath, ".shx");
    copy.m_dbf = part(shpPath, ".dbf");
    copy.m_prj = part(shpPath, ".prj");
    copy.m_count = count;
    copy.m_fields = fields;
    if (copy.m_shx.isEmpty() || copy.m_dbf.isEmpty() ||
        QFileInfo(copy.m_shx).size() != 100 + 8 * count) {
        return std::nullopt;
    }
    const QString cpg = part(shpPath, ".cpg");
    if (!cpg.isEmpty()) {
        QFile file(cpg);
        copy.m_utf8 = file.open(QIODevice::ReadOnly) && isUtf8Name(file.read(64));
    }

    const auto table = readTable(copy.m_dbf, sourceFieldCount);
    if (!table || table->count != count) {
        return std::nullopt;
    }
    copy.m_headerLength = int(table->headerLength);
    copy.m_recordLength = int(table->recordLength);
    const int fieldCount = int(table->fields.size());
    const std::vector<DbfTable::Field>& all = table->fields;
    int recordLength = 1;
    for (int index : copiedFields) {
        if (index < 0 || index >= fieldCount || !all[size_t(index)].copyable) {
            return std::nullopt;
        }
        copy.m_copied.push_back(all[size_t(index)]);
        recordLength += all[size_t(index)].width;
    }
    for (const OutputField& f : fields) {
        if (f.name.size() > 10 || f.width < 1 || f.width > 255) {
            return std::nullopt;
        }
        recordLength += f.width;
    }
    const size_t outFields = copy.m_copied.size() + fields.size();
    if (recordLength > 0xffff || 32 + 32 * outFields + 1 > 0xffff) {
        return std::nullopt;
    }
    return copy;
}

bool ShapefileCopy::write(const QString& outShp, const Fill& fill)
{
    const QString& outPath = m_outPath;
    const QString base = outShp.left(outShp.size() - 4);
    // The geometry first, while the count goes on.
    copyFile(m_shp, base + QLatin1String(".shp"), outPath);
    copyFile(m_shx, base + QLatin1String(".shx"), outPath);
    if (!m_prj.isEmpty()) {
        copyFile(m_prj, base + QLatin1String(".prj"), outPath);
    }
    const File in = openRead(m_dbf);
    if (in.fd < 0) {
        fail(QStringLiteral("Cannot write the output %1: %2: %3").arg(outPath, m_dbf, errnoText()));
    }
    File out = createFile(base + QLatin1String(".dbf"), outPath);

    int recordLength = 1;
    for (const DbfTable::Field& f : m_copied) {
        recordLength += f.width;
    }
    for (const OutputField& f : m_fields) {
        recordLength += f.width;
    }
    const size_t fieldCount = m_copied.size() + m_fields.size();
    const int headerLength = int(32 + 32 * fieldCount + 1);
    QByteArray header(headerLength, '\0');
    const QDate today = QDate::currentDate();
    header[0] = 0x03;
    header[1] = char(std::clamp(today.year() - 1900, 0, 255));
    header[2] = char(today.month());
    header[3] = char(today.day());
    qToLittleEndian(quint32(m_count), header.data() + 4);
    qToLittleEndian(quint16(headerLength), header.data() + 8);
    qToLittleEndian(quint16(recordLength), header.data() + 10);
    char* d = header.data() + 32;
    for (const DbfTable::Field& f : m_copied) {
        std::memcpy(d, f.descriptor.constData(), 32);
        d += 32;
    }
    for (const OutputField& f : m_fields) {
        std::memcpy(d, f.name.constData(), size_t(f.name.size()));
        d[11] = 'N';
        d[16] = char(f.width);
        d[17] = char(f.precision);
        d += 32;
    }
    *d = 0x0d;
    writeAll(out, header.constData(), size_t(header.size()), outPath);

    // Records in pieces of about a megabyte, read and written whole.
    const qint64 perPiece = std::max<qint64>(1, (1 << 20) / m_recordLength);
    std::vector<char> source(size_t(perPiece * m_recordLength));
    std::vector<char> records(size_t(perPiece * recordLength));
    std::vector<double> values(m_fields.size());
    for (qint64 first = 0; first < m_count; first += perPiece) {
        const qint64 n = std::min(perPiece, m_count - first);
        if (!readAt(in, source.data(), size_t(n * m_recordLength),
                    m_headerLength + first * m_recordLength)) {
            fail(QStringLiteral("Cannot write the output %1: %2 ends early").arg(outPath, m_dbf));
        }
        for (qint64 k = 0; k < n; ++k) {
            const char* from = source.data() + k * m_recordLength;
            char* to = records.data() + k * recordLength;
            if (from[0] == '*') {
                return false; // deleted: GDAL leaves it out of the features
            }
            *to++ = ' ';
            for (const DbfTable::Field& f : m_copied) {
                const char* value = from + f.offset;
                if (f.text && !m_utf8 && std::any_of(value, value + f.width, beyondAscii)) {
                    return false; // text to recode to UTF-8
                }
                std::memcpy(to, value, size_t(f.width));
                to += f.width;
            }
            fill(first + k, values.data());
            for (size_t i = 0; i < m_fields.size(); ++i) {
                putNumber(to, m_fields[i], values[i]);
                to += m_fields[i].width;
            }
        }
        writeAll(out, records.data(), size_t(n * recordLength), outPath);
    }
    writeAll(out, "\x1a", 1, outPath);
    closeWritten(out, outPath);

    File cpg = createFile(base + QLatin1String(".cpg"), outPath);
    writeAll(cpg, "UTF-8", 5, outPath);
    closeWritten(cpg, outPath);
    return true;
}
