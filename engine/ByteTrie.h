// 256-way byte trie of the simple file signatures used by the deep scan.
#pragma once

class CByteTrie
{
public:
    struct Node
    {
        Node* children[256];
        int value;  // plug-in index of a signature ending here, -1 for none
        Node();
    };

    CByteTrie();
    ~CByteTrie();

    // Adds the first `length` bytes as a signature carrying `value`. Returns 1 when
    // the signature now carries that value, 0 when it already carried another one
    // (the signature inserted first keeps its plug-in).
    int Insert(const unsigned char* bytes, unsigned int length, int value);

    // Walks from the root along data[0], data[1], ... (at most 255 bytes) and
    // returns the value of the deepest node on that path that carries one
    // (-1 when none does).
    int LongestMatch(const unsigned char* data) const;

    // Frees a node and its whole subtree.
    static void FreeNode(Node* node);

    enum { MAX_DEPTH = 256 };

private:
    CByteTrie(const CByteTrie&);
    CByteTrie& operator=(const CByteTrie&);

    Node* m_pRoot;
};
