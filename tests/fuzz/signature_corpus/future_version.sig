holm-signature 2
key-id 00
