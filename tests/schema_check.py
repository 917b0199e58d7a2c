"""The few JSON Schema keywords that record.schema.json uses, checked without a dependency."""
import json
import re

from downloader_flash.records import SCHEMA_FILE

TYPES = {"object": dict, "string": str, "integer": int, "number": (int, float), "null": type(None)}

with open(SCHEMA_FILE, encoding="utf-8") as handle:
    RECORD_SCHEMA = json.load(handle)


def problems(value, schema=RECORD_SCHEMA, where="record"):
    """Every way `value` breaks `schema`, as readable lines; empty when it conforms."""
    kinds = schema.get("type", [])
    kinds = [kinds] if isinstance(kinds, str) else kinds
    if kinds and not any(isinstance(value, TYPES[kind]) and not isinstance(value, bool) for kind in kinds):
        return [f"{where}: {value!r} is not {' or '.join(kinds)}"]
    found = []
    if "enum" in schema and value not in schema["enum"]:
        found.append(f"{where}: {value!r} is not one of {schema['enum']}")
    if isinstance(value, str):
        if "pattern" in schema and not re.search(schema["pattern"], value):
            found.append(f"{where}: {value!r} does not match {schema['pattern']}")
        if len(value) < schema.get("minLength", 0):
            found.append(f"{where}: {value!r} is too short")
    if isinstance(value, (int, float)) and value is not None and "minimum" in schema and value < schema["minimum"]:
        found.append(f"{where}: {value!r} is below {schema['minimum']}")
    if isinstance(value, dict):
        found += [f"{where}: lacks {name}" for name in schema.get("required", []) if name not in value]
        properties = schema.get("properties", {})
        if schema.get("additionalProperties") is False:
            found += [f"{where}: unexpected {name}" for name in value if name not in properties]
        for name, item in value.items():
            if name in properties:
                found += problems(item, properties[name], f"{where}.{name}")
    return found


def valid_records(text):
    """The records of a report's text, each checked against the schema."""
    records = [json.loads(line) for line in text.splitlines()]
    for record in records:
        assert problems(record) == [], record
    return records
