"""What the module does today: a vocabulary built, saved to a dictionary file and loaded back."""

import os
import tempfile

import qvc_compressor


def main() -> None:
    with tempfile.TemporaryDirectory() as workdir:
        dict_path = os.path.join(workdir, "vocabulary.bin")
        compressor = qvc_compressor.QVCompressor(dict_path)
        text = "to be or not to be\n"
        tokens = compressor.tokenize(text)
        print(f"tokens of {text!r}: {tokens}")
        for token in tokens:
            if token not in compressor.global_dict:
                compressor.global_dict[token] = compressor.next_id
                compressor.inverse_dict[compressor.next_id] = token
                compressor.next_id += 1
        compressor.save_dict()
        print(f"saved {len(compressor.global_dict)} tokens to {os.path.getsize(dict_path)} bytes")
        restored = qvc_compressor.QVCompressor(dict_path)
        assert restored.global_dict == compressor.global_dict
        print(f"loaded back: {restored.global_dict}, next_id {restored.next_id}")


if __name__ == "__main__":
    main()
