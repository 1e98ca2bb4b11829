#pragma once

#include <optional>

#include <QString>
#include <QStringList>

#include <nlohmann/json.hpp>

// A small JSON Schema (draft 2020-12) checker for the keywords our schemas use:
// type, required, properties, additionalProperties, items, enum, pattern,
// minimum, maximum and local "$ref"s into "$defs". A keyword it does not know
// is reported as an error, so a schema cannot quietly ask for more than is
// checked.
namespace JsonSchema {

// Every violation, each as "<JSON pointer>: <what is wrong>"; empty when
// `value` conforms.
QStringList validate(const nlohmann::json& schema, const nlohmann::json& value);

// docs/report.schema.json of this checkout.
QString reportSchemaPath();

// The parsed report schema, or none when it cannot be read or parsed.
std::optional<nlohmann::json> loadReportSchema();

} // namespace JsonSchema
