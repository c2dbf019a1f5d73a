#!/usr/bin/env python3
"""Reads audit messages with Python's own XML parser and prints them flat.

Each argument is a file holding one audit message (a syslog frame's XML,
with or without the byte-order mark). For every element, in document
order, one line "Tag@attribute=value" per attribute and "Tag=text" when it
has text; messages are separated by a line "--". A message that is not
well-formed XML ends the program with status 1 and the parser's error.
"""
import sys
import xml.etree.ElementTree as ET


def main(paths):
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        if data.startswith(b"\xef\xbb\xbf"):
            data = data[3:]
        try:
            root = ET.fromstring(data)
        except ET.ParseError as e:
            print("not well-formed: %s: %s" % (path, e))
            return 1
        for element in root.iter():
            for name in sorted(element.attrib):
                print("%s@%s=%s" % (element.tag, name, element.attrib[name]))
            if element.text and element.text.strip():
                print("%s=%s" % (element.tag, element.text))
        print("--")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
