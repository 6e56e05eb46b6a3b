#pragma once

#include <QtGlobal>

// What the analysis finds for one polygon. Counts are of cells; under the exact rule, of
// covered shares of cells, rounded.
struct PolygonResult {
    qint64 cells = 0;   // cells taken, NoData included
    qint64 noData = 0;  // NODATA_CT
    qint64 unknown = 0; // UNK_CT: counted, but of a class without a CLASS line
    double lcArea = 0;  // LC_AREA
    double isArea = 0;  // IS_AREA
    double isPct = 0;   // IS_PCT
};
