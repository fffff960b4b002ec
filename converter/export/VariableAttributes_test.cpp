#include "VariableAttributes.h"

#include <gtest/gtest.h>

#include <set>

#include "Records.h"

namespace saltmark::exporting {
namespace {

// A field added to the decoder must get a meaning here (or be left out on purpose), or the
// published files would silently lose it.
TEST(VariableAttributes, EveryNumericFixedFieldHasAMeaning)
{
    const std::set<std::string_view> leftOut = {"PB200.Lat",   "PB200.Lon", "PB200.Year",
                                                "PB200.Month", "PB200.Day", "PB200.Seconds"};
    for (const RecordDescription& type : RecordDescriptions()) {
        for (const FieldDescription& field : type.fields) {
            const std::string key = std::string(type.typeName) + "." + std::string(field.name);
            const bool varies = IsArray(field.kind) && field.count == 0;
            if (leftOut.contains(key) || varies || field.kind == FieldKind::Text ||
                type.typeName == "Camera" || type.typeName.starts_with("AquaDopp")) {
                continue;
            }
            EXPECT_TRUE(FieldAttributes(type.typeName, field.name)) << key;
        }
    }
}

TEST(VariableAttributes, NamesAndUnitsAsPythonsDatasetHasThem)
{
    const auto battery = FieldAttributes("Miscellaneous_values", "Battery_voltage");
    ASSERT_TRUE(battery);
    EXPECT_EQ(battery->name, "Miscellaneous_values_Battery_voltage");
    EXPECT_EQ(battery->units, "V");
    const auto tke = FieldAttributes("Y81000", "Tke");
    ASSERT_TRUE(tke);
    EXPECT_EQ(tke->shape, Shape::Array);
    EXPECT_EQ(tke->dimension, "band");
    EXPECT_EQ(tke->length, 116);
    EXPECT_EQ(FieldAttributes("V536", "WSMean")->standardName, "wind_speed");
    // A spread is its quantity's standard name with the statistic in cell_methods.
    EXPECT_EQ(FieldAttributes("PB200", "WSSTD")->standardName, "wind_speed");
    EXPECT_EQ(FieldAttributes("PB200", "WSSTD")->cellMethods, "time: standard_deviation");
    EXPECT_EQ(tke->coordinate, "Y81000_Freq");
    EXPECT_TRUE(FieldAttributes("Y81000", "Epsilon")->standardName.empty());
    EXPECT_FALSE(FieldAttributes("PB200", "Lat"));
    EXPECT_FALSE(FieldAttributes("PB200", "NoSuchField"));
    std::set<std::string> names;
    for (const VariableAttributes& a : ExportedFields()) {
        EXPECT_TRUE(names.insert(a.name).second) << a.name;
        EXPECT_FALSE(a.units.empty()) << a.name;
    }
}

}  // namespace
}  // namespace saltmark::exporting
