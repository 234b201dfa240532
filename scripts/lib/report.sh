# Counting test results from the machine-readable reports that CTest
# (--output-junit) and GoogleTest (--gtest_output=xml:) write. Needs xmllint.
# shellcheck shell=bash

# report_counts FILE: prints "PASSED FAILED SKIPPED" for the report in FILE,
# or returns 1 when FILE is missing or is not a report of either kind.
#
# CTest: status "run" passed and "fail" failed (a time-out too). "notrun" is a
# skip only when the test said so (its skip expression matched, or it exited
# with its skip code); a test that could not be started at all is also
# "notrun", and CTest itself counts that as a failure. "disabled" tests were
# never meant to run.
# GoogleTest: a case with a <failure> failed, one with <skipped> (GTEST_SKIP)
# was skipped; "notrun" cases are DISABLED_ ones.
report_counts() {
    local file=$1 root passed failed skipped
    [ -s "$file" ] || return 1
    root=$(xmllint --xpath 'name(/*)' "$file" 2>/dev/null) || return 1
    local said_skip='skipped[@message="SKIP_REGULAR_EXPRESSION_MATCHED" or starts-with(@message,"SKIP_RETURN_CODE")]'
    case "$root" in
        testsuite)
            passed=$(xmllint --xpath 'count(/testsuite/testcase[@status="run"])' "$file")
            skipped=$(xmllint --xpath "count(/testsuite/testcase[@status=\"notrun\"][$said_skip])" "$file")
            failed=$(xmllint --xpath "count(/testsuite/testcase[@status=\"fail\"] |
                /testsuite/testcase[@status=\"notrun\"][not($said_skip)])" "$file")
            ;;
        testsuites)
            passed=$(xmllint --xpath 'count(//testcase[@status="run"][not(failure)][not(skipped)])' "$file")
            skipped=$(xmllint --xpath 'count(//testcase[@status="run"][not(failure)][skipped])' "$file")
            failed=$(xmllint --xpath 'count(//testcase[failure])' "$file")
            ;;
        *) return 1 ;;
    esac
    echo "$passed $failed $skipped"
}
