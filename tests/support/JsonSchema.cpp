#include "support/JsonSchema.h"

#include <regex>
#include <string>

#include <QDir>
#include <QFile>

#include "support/TestPaths.h"

namespace JsonSchema {

namespace {

using nlohmann::json;

// Keywords that only describe and never constrain.
bool isAnnotation(const std::string& keyword) {
    return keyword == "$schema" || keyword == "$id" || keyword == "title" ||
           keyword == "description" || keyword == "$defs" || keyword == "$comment";
}

bool hasType(const json& value, const std::string& type) {
    if (type == "object")
        return value.is_object();
    if (type == "array")
        return value.is_array();
    if (type == "string")
        return value.is_string();
    if (type == "integer")
        return value.is_number_integer();
    if (type == "number")
        return value.is_number();
    if (type == "boolean")
        return value.is_boolean();
    if (type == "null")
        return value.is_null();
    return false;
}

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// One level of a JSON pointer, escaped as RFC 6901 asks.
std::string pointerPart(const std::string& key) {
    std::string escaped;
    for (char c : key) {
        if (c == '~')
            escaped += "~0";
        else if (c == '/')
            escaped += "~1";
        else
            escaped += c;
    }
    return escaped;
}

class Checker {
public:
    explicit Checker(const json& root) : m_root(root) {}

    void check(const json& schema, const json& value, const std::string& where) {
        if (schema.is_boolean()) {
            if (!schema.get<bool>())
                fail(where, "no value is allowed here");
            return;
        }
        if (!schema.is_object()) {
            fail(where, "the schema is neither an object nor a boolean");
            return;
        }
        for (const auto& [keyword, argument] : schema.items()) {
            if (isAnnotation(keyword))
                continue;
            if (keyword == "$ref")
                checkRef(argument, value, where);
            else if (keyword == "type")
                checkType(argument, value, where);
            else if (keyword == "enum")
                checkEnum(argument, value, where);
            else if (keyword == "required")
                checkRequired(argument, value, where);
            else if (keyword == "properties")
                checkProperties(argument, value, where);
            else if (keyword == "additionalProperties")
                checkAdditional(schema, argument, value, where);
            else if (keyword == "items")
                checkItems(argument, value, where);
            else if (keyword == "pattern")
                checkPattern(argument, value, where);
            else if (keyword == "minimum" || keyword == "maximum")
                checkBound(keyword, argument, value, where);
            else
                fail(where, "unsupported schema keyword \"" + keyword + "\"");
        }
    }

    QStringList errors() const { return m_errors; }

private:
    void fail(const std::string& where, const std::string& message) {
        m_errors.append(text((where.empty() ? std::string("/") : where) + ": " + message));
    }

    void checkRef(const json& argument, const json& value, const std::string& where) {
        const std::string ref = argument.is_string() ? argument.get<std::string>() : "";
        if (ref.rfind("#/", 0) != 0) {
            fail(where, "only local references are supported: " + ref);
            return;
        }
        const json::json_pointer pointer(ref.substr(1));
        if (!m_root.contains(pointer)) {
            fail(where, "unresolved reference " + ref);
            return;
        }
        if (++m_depth > 64) {
            fail(where, "references nest too deep");
        } else {
            check(m_root.at(pointer), value, where);
        }
        --m_depth;
    }

    void checkType(const json& argument, const json& value, const std::string& where) {
        if (argument.is_string()) {
            if (!hasType(value, argument.get<std::string>()))
                fail(where,
                     "expected " + argument.get<std::string>() + ", got " + value.type_name());
            return;
        }
        if (argument.is_array()) {
            for (const json& type : argument) {
                if (type.is_string() && hasType(value, type.get<std::string>()))
                    return;
            }
            fail(where, std::string("type ") + value.type_name() + " not among " + argument.dump());
            return;
        }
        fail(where, "malformed \"type\"");
    }

    void checkEnum(const json& argument, const json& value, const std::string& where) {
        if (!argument.is_array()) {
            fail(where, "malformed \"enum\"");
            return;
        }
        for (const json& allowed : argument) {
            if (allowed == value)
                return;
        }
        fail(where, value.dump() + " is not one of " + argument.dump());
    }

    void checkRequired(const json& argument, const json& value, const std::string& where) {
        if (!value.is_object())
            return;
        for (const json& key : argument) {
            if (key.is_string() && !value.contains(key.get<std::string>()))
                fail(where, "missing required key \"" + key.get<std::string>() + "\"");
        }
    }

    void checkProperties(const json& argument, const json& value, const std::string& where) {
        if (!value.is_object() || !argument.is_object())
            return;
        for (const auto& [key, member] : value.items()) {
            if (argument.contains(key))
                check(argument.at(key), member, where + "/" + pointerPart(key));
        }
    }

    void checkAdditional(const json& schema, const json& argument, const json& value,
                         const std::string& where) {
        if (!value.is_object())
            return;
        const json none = json::object();
        const json& declared = schema.contains("properties") ? schema.at("properties") : none;
        for (const auto& [key, member] : value.items()) {
            if (declared.contains(key))
                continue;
            if (argument.is_boolean() && !argument.get<bool>())
                fail(where, "unexpected key \"" + key + "\"");
            else
                check(argument, member, where + "/" + pointerPart(key));
        }
    }

    void checkItems(const json& argument, const json& value, const std::string& where) {
        if (!value.is_array())
            return;
        for (size_t i = 0; i < value.size(); ++i)
            check(argument, value[i], where + "/" + std::to_string(i));
    }

    void checkPattern(const json& argument, const json& value, const std::string& where) {
        if (!value.is_string())
            return;
        try {
            const std::regex pattern(argument.get<std::string>(), std::regex::ECMAScript);
            if (!std::regex_search(value.get<std::string>(), pattern))
                fail(where, value.dump() + " does not match " + argument.get<std::string>());
        } catch (const std::exception&) {
            fail(where, "malformed \"pattern\"");
        }
    }

    void checkBound(const std::string& keyword, const json& argument, const json& value,
                    const std::string& where) {
        if (!value.is_number())
            return;
        if (!argument.is_number()) {
            fail(where, "malformed \"" + keyword + "\"");
            return;
        }
        const double number = value.get<double>();
        const double bound = argument.get<double>();
        const bool below = keyword == "minimum" && number < bound;
        const bool above = keyword == "maximum" && number > bound;
        if (below || above)
            fail(where, value.dump() + " violates " + keyword + " " + argument.dump());
    }

    const json& m_root;
    QStringList m_errors;
    int m_depth = 0;
};

} // namespace

QStringList validate(const nlohmann::json& schema, const nlohmann::json& value) {
    Checker checker(schema);
    checker.check(schema, value, "");
    return checker.errors();
}

QString reportSchemaPath() {
    // The stand-ins live in tests/support/standins of the checkout.
    return QDir::cleanPath(TestPaths::standIns() +
                           QStringLiteral("/../../../docs/report.schema.json"));
}

std::optional<nlohmann::json> loadReportSchema() {
    QFile file(reportSchemaPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    nlohmann::json schema = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (schema.is_discarded())
        return std::nullopt;
    return schema;
}

} // namespace JsonSchema
