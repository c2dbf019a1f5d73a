#!/usr/bin/env python3
"""Reads a metrics page (the file named on the command line) with the
Prometheus client library's own parser and prints one line per sample:
name{label="value",...} value, labels sorted. A page the parser rejects
ends with its error and exit code 1."""
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    with open(sys.argv[1], encoding="utf-8") as page:
        text = page.read()
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            labels = ",".join(
                '%s="%s"' % (k, v) for k, v in sorted(sample.labels.items()))
            print("%s{%s} %g" % (sample.name, labels, sample.value))


if __name__ == "__main__":
    try:
        main()
    except Exception as error:  # the parser's complaint is the answer
        print("unparsable: %s" % error)
        sys.exit(1)
