"""The OpenAPI description of the decision service, its request drawn from the schema."""

from __future__ import annotations

from typing import Any

import yaml

from kavro._kavro import EFFECTS

_JSON_TYPES = {"number": "number", "string": "string", "boolean": "boolean"}


def openapi_document(schema_text: str) -> dict[str, Any]:
    schema = yaml.safe_load(schema_text)
    actions = schema.get("actions") or {}
    requests = [_request(str(name), (spec or {}).get("fields") or {}, schema)
                for name, spec in actions.items()]
    request = {"oneOf": requests} if requests else {"type": "object"}
    decision = {
        "type": "object",
        "properties": {
            "effect": {"enum": list(EFFECTS)},
            "matched_rule": {"type": ["string", "null"]},
            "policy_hash": {"type": "string"},
            "decision_id": {"type": "string"},
        },
        "required": ["effect", "matched_rule", "policy_hash"],
    }
    refusal = {"type": "object", "properties": {
        "error": {"type": "string"}, "detail": {"type": "string"},
        "problems": {"type": "array", "items": {"type": "object"}}}, "required": ["error"]}
    json_body = {"content": {"application/json": {"schema": {"$ref": "#/components/schemas/Request"}}}}

    def answer(schema_ref: str, description: str) -> dict[str, Any]:
        return {"description": description,
                "content": {"application/json": {"schema": {"$ref": schema_ref}}}}

    refused = answer("#/components/schemas/Refusal", "refused; the body says why")
    return {
        "openapi": "3.1.0",
        "info": {"title": "kavro decision service", "version": "1"},
        "paths": {
            "/v1/decide": {"post": {
                "summary": "Decide one request", "requestBody": json_body,
                "responses": {"200": answer("#/components/schemas/Decision", "the decision"),
                              "400": refused, "413": refused, "422": refused}}},
            "/v1/decide/batch": {"post": {
                "summary": "Decide many requests (JSON, or an Arrow IPC stream)",
                "requestBody": {"content": {
                    "application/json": {"schema": {
                        "type": "object", "required": ["requests"],
                        "properties": {"requests": {
                            "type": "array", "items": {"$ref": "#/components/schemas/Request"}}}}},
                    "application/vnd.apache.arrow.stream": {}}},
                "responses": {"200": {"description": "one decision or refusal per request"},
                              "400": refused, "413": refused}}},
            "/v1/policy": {"get": {"summary": "The live policy",
                                   "responses": {"200": {"description": "hash and revision"}}}},
            "/v1/reload": {"post": {
                "summary": "Reload the documents (Authorization: Bearer <token>)",
                "responses": {"200": {"description": "accepted"}, "401": refused,
                              "403": refused, "409": refused}}},
            "/healthz": {"get": {"responses": {"200": {"description": "alive"}}}},
            "/metrics": {"get": {"responses": {"200": {"description": "Prometheus metrics"}}}},
        },
        "components": {"schemas": {"Request": request, "Decision": decision,
                                   "Refusal": refusal}},
    }


def _request(action: str, fields: dict[Any, Any], schema: dict[str, Any]) -> dict[str, Any]:
    properties = {"action": _part(fields, {"type": {"const": action}}, ["type"])}
    for part in ("actor", "snapshot"):
        declared = (schema.get(part) or {}).get("fields") or {}
        properties[part] = _part(declared, {}, [])
    return {"type": "object", "title": action, "properties": properties,
            "required": ["action"], "additionalProperties": False}


def _part(fields: dict[Any, Any], extra: dict[str, Any], required: list[str]) -> dict[str, Any]:
    properties = dict(extra)
    for name, kind in fields.items():
        properties[str(name)] = {"type": _JSON_TYPES.get(str(kind), "string")}
    return {"type": "object", "properties": properties, "required": required,
            "additionalProperties": False}
