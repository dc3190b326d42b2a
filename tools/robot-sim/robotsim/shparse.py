"""Splits a device shell command line the way /system/bin/sh would, for the subset we run.

Result: a list of pipelines joined by ';', '&&' or '||'. Each simple command is a dict:
  words: list of (text, globbable) pairs; globbable is True when the word had an
         unquoted * ? or [ that the shell would expand
  redirs: list of (op, target) with op in '<', '>', '>>', '2>', '2>>', '2>&1', '>&2'
  substitutions: texts of $(...) or `...` found outside single quotes (never run)
"""


class ParseError(Exception):
    pass


_OPERATORS = ("&&", "||", ";", "|", "&")


def _new_command():
    return {"words": [], "redirs": [], "substitutions": []}


def parse(line):
    """Returns [(joiner, [command, ...]), ...]; joiner of the first entry is None."""
    seq = []
    pipeline = []
    cmd = _new_command()
    joiner = None
    i = 0
    n = len(line)
    word = None  # list of chars, or None when no word has started
    globbable = False
    pending_redir = None

    def end_word():
        nonlocal word, globbable, pending_redir
        if word is None:
            return
        text = "".join(word)
        if pending_redir is not None:
            cmd["redirs"].append((pending_redir, text))
            pending_redir = None
        else:
            cmd["words"].append((text, globbable))
        word = None
        globbable = False

    def end_command():
        nonlocal cmd
        end_word()
        if pending_redir is not None:
            raise ParseError("syntax error: unexpected newline")
        if cmd["words"] or cmd["redirs"]:
            pipeline.append(cmd)
        cmd = _new_command()

    def end_pipeline(next_joiner):
        nonlocal pipeline, joiner
        end_command()
        if pipeline:
            seq.append((joiner, pipeline))
        elif next_joiner not in (";", None) or joiner in ("&&", "||"):
            raise ParseError("syntax error: '%s' unexpected" % (next_joiner or "end of file"))
        pipeline = []
        joiner = next_joiner

    while i < n:
        c = line[i]
        if c in " \t\r\n":
            end_word()
            i += 1
            continue
        if c == "#" and word is None:
            break
        if c == "'":
            j = line.find("'", i + 1)
            if j < 0:
                raise ParseError("syntax error: unterminated quoted string")
            word = (word or []) + list(line[i + 1:j])
            i = j + 1
            continue
        if c == '"':
            i += 1
            chars = word or []
            while i < n and line[i] != '"':
                if line[i] == "\\" and i + 1 < n and line[i + 1] in '$`"\\\n':
                    chars.append(line[i + 1])
                    i += 2
                    continue
                if line.startswith("$(", i) or line[i] == "`":
                    j, text = _substitution(line, i)
                    cmd["substitutions"].append(text)
                    i = j
                    continue
                chars.append(line[i])
                i += 1
            if i >= n:
                raise ParseError("syntax error: unterminated quoted string")
            word = chars
            i += 1
            continue
        if c == "\\":
            if i + 1 < n:
                word = (word or []) + [line[i + 1]]
            i += 2
            continue
        if line.startswith("$(", i) or c == "`":
            j, text = _substitution(line, i)
            cmd["substitutions"].append(text)
            word = word or []
            i = j
            continue
        op = _redirect_at(line, i, word)
        if op:
            end_word()
            if op[0] in ("2>&1", ">&2"):
                cmd["redirs"].append((op[0], None))
            else:
                pending_redir = op[0]
            i += op[1]
            continue
        matched = None
        for o in _OPERATORS:
            if line.startswith(o, i):
                matched = o
                break
        if matched:
            if matched == "|":
                end_command()
                if not pipeline:
                    raise ParseError("syntax error: '|' unexpected")
            else:
                end_pipeline(";" if matched == "&" else matched)
            i += len(matched)
            continue
        if c in "*?[":
            globbable = True
        word = (word or []) + [c]
        i += 1
    end_pipeline(None)
    return seq


def _redirect_at(line, i, word):
    for op in ("2>&1", ">&2", "2>>", "2>", ">>", ">", "<"):
        if op.startswith("2") and word is not None:
            continue
        if line.startswith(op, i):
            return op, len(op)
    return None


def _substitution(line, i):
    if line[i] == "`":
        j = line.find("`", i + 1)
        if j < 0:
            raise ParseError("syntax error: unterminated command substitution")
        return j + 1, line[i + 1:j]
    depth = 0
    j = i + 1
    while j < len(line):
        if line[j] == "(":
            depth += 1
        elif line[j] == ")":
            depth -= 1
            if depth == 0:
                return j + 1, line[i + 2:j]
        j += 1
    raise ParseError("syntax error: unterminated command substitution")
