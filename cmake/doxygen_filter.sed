# Doxygen's input filter for the installed headers, whose comments are plain
# C comments: the file's first comment describes the file, a comment beside
# a declaration (a field, a constant) describes it, and one on lines of its
# own describes what follows. The section banners stay plain comments.
1s#^/\*$#/** \\file#
/^ *\/\* ----/b
s#^\( *[^ /].*[^ ]\)\( *\)/\*\([^*]\)#\1\2/**<\3#
s#^\( *\)/\*\([^*]\|$\)#\1/**\2#
