"""Script skills: ``zorvik.skills.skill_engine``."""
