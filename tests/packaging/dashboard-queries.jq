# Fails (jq exits 5, naming the panels) unless the dashboard has panels and every one,
# including those folded into rows, has a target that queries something: a panel whose
# query was lost in an edit renders as an empty box rather than an error.
[.panels[] | if .type == "row" then .panels[] else . end]
| if length == 0 then error("no panels") else . end
| map(select(any(.targets[]?; (.expr // "") | test("\\S")) | not) | .title)
| if length > 0 then error("panels without a query: " + join(", ")) else empty end
