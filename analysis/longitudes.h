#pragma once

#include <memory>

class OGRGeometry;

// Polygons on a raster in geographic coordinates, whose longitudes go round: the geometry
// placed on the raster's longitudes [west, east), a turn being 360 degrees in their unit.
// Each edge goes the short way round (less than half a turn of longitude, as a geodesic
// does), so a ring that crosses the antimeridian stays in one piece; a ring that goes round
// a pole is closed through that pole (the one on the side of the equator where the ring
// lies on average); each part (with its holes) is placed at every whole turn where it
// reaches the raster, so that a raster that goes round the earth takes both ends of a part
// that crosses its edge. Null where the geometry stays as it is.
std::unique_ptr<OGRGeometry> placeOnLongitudes(const OGRGeometry& geometry, double west,
                                               double east, double turn);
