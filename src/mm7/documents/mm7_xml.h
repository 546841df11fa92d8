// XML access helpers on Mini-XML trees, and the check every envelope passes before it is loaded.
#pragma once

#include <mxml.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/string_utils.h"
#include "mm7/mms_message.h"

// Owner of a Mini-XML tree.
struct xml_tree_deleter {
    void operator()(mxml_node_t* node) const noexcept;
};
using xml_tree = std::unique_ptr<mxml_node_t, xml_tree_deleter>;

// Loads a document with opaque text nodes (whitespace kept) after xml_check_document accepted
// it; nullptr when either refuses it.  The tree returned is a node "#document" holding the root
// element and whatever comments and processing instructions surround it.  Mini-XML's own complaints
// are not written anywhere: the caller logs its own reaction.
xml_tree xml_load_document(std::string_view text);

// true when text is a well-formed XML document within the envelope bounds of mm7.h
// (MM7_MAX_ENVELOPE_SIZE, MM7_MAX_XML_DEPTH, MM7_MAX_XML_ATTRIBUTES).  Mini-XML is lenient (it
// takes unclosed documents, '<' inside attribute values, HTML entity names, truncated texts), so
// this strict pass decides what is XML and Mini-XML only ever builds trees of documents that
// passed it.  Refused besides malformed markup: document type declarations (SOAP forbids them),
// bytes that are not UTF-8, characters XML does not allow, entity names other than the five of
// XML, and non-ASCII content under a declared encoding other than UTF-8.  On refusal the reason
// is stored in *why when given.
bool xml_check_document(std::string_view text, std::string_view* why = nullptr);

// First element below node (depth-first, pre-order, node itself excluded) whose local name (the
// part after the first ':', or the whole name) equals name.  Comments, CDATA sections and
// processing instructions, which Mini-XML keeps as element nodes, never match.
mxml_node_t* xml_find_element(mxml_node_t* node, std::string_view name);

// Every non-blank text below node in document order, each trimmed; std::nullopt when there is
// none.  The content of a CDATA section counts as a text.
std::optional<text_list> xml_get_element_texts(mxml_node_t* node);

// The texts of xml_get_element_texts joined without separator; std::nullopt when there is none.
opt_text xml_get_element_text(mxml_node_t* node);

// An xs:boolean: 1 for "true" or "1", 0 for "false" or "0" (letters in any case, surrounding
// blanks aside) and for an absent or blank text, -1 for any other text.
int xml_read_bool(opt_view text);

// The xs:boolean of the element name below node: 1 for "true" or "1", 0 for "false" or "0" (letters
// in any case, surrounding blanks aside) and for an absent or empty element, -1 for any other
// text.
int xml_get_element_bool(mxml_node_t* node, std::string_view name);
